"""Fixtures: kestrel-sim through the package's own pytest plugin
(kestrel.testing), clients connected to it, and a scripted server.

KESTREL_SIM names the simulator (the CMake test sets it); without it the
default build's is used.
"""

import os
import pathlib
import socket
import threading
import time
import warnings

import pytest

pytest_plugins = ["kestrel.testing"]

ROOT = pathlib.Path(__file__).resolve().parents[2]
os.environ.setdefault("KESTREL_SIM", str(ROOT / "build/default/tools/sim/kestrel-sim"))
# The calibrated camera of the command table: pixel (100, 50) is real (4, -2).
CALIBRATION = ("--calibration", "CamR=0.01,0.02,5,-3,90")
SIM_ARGS = ("--autofocus-ms", "20", *CALIBRATION)


@pytest.fixture
def kestrel_sim_args():
    return SIM_ARGS


def wait_for_request(sim, start, limit=10.0):
    """Waits until the simulator's journal holds a request that starts with `start`."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if any(entry["request"].startswith(start) for entry in sim.journal()):
            return
        time.sleep(0.01)
    raise AssertionError(f"{start!r} never reached the simulator")


def short_waits(client):
    """Sets the client's wait limit to 1000 ms: one read of a second."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # any value below 1000 is kept as 1000
        client.timeout = 0
    return client


class ScriptedServer:
    """A server that answers each request line with the next of `replies`.
    With `held`, it answers only once `release` is set; `received` is set when
    a request has come."""

    def __init__(self, replies, held=False):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.replies = list(replies)
        self.received, self.release = threading.Event(), threading.Event()
        if not held:
            self.release.set()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        connection, _ = self.listener.accept()
        with connection, connection.makefile("rb") as lines:
            for reply in self.replies:
                if not lines.readline():
                    return
                self.received.set()
                self.release.wait(30)
                connection.sendall(reply + b"\r\n")
            lines.readline()  # until the client goes

    def close(self):
        self.release.set()
        self.listener.close()
        self.thread.join(5)


@pytest.fixture(scope="session")
def sim():
    from kestrel.testing import Simulator  # once the plugin is loaded

    with Simulator(*SIM_ARGS) as server:
        yield server


@pytest.fixture(scope="session")
def client(sim):
    client = sim.client()
    client.template_create("mark", "Cam1", "region", 3)  # matched as ("Cam1", "mark")
    return client
