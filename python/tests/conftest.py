"""Fixtures: kestrel-sim on a free port, and clients connected to it.

KESTREL_SIM names the simulator (the CMake test sets it); without it the
default build's is used.
"""

import os
import pathlib
import socket
import subprocess
import threading
import time
import warnings

import pytest

import kestrel

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The calibrated camera of the command table: pixel (100, 50) is real (4, -2).
CALIBRATION = ("--calibration", "CamR=0.01,0.02,5,-3,90")


def simulator_path():
    path = pathlib.Path(os.environ.get("KESTREL_SIM", ROOT / "build/default/tools/sim/kestrel-sim"))
    if not path.is_file():
        raise RuntimeError(f"no kestrel-sim at {path}: build it or set KESTREL_SIM")
    return path


class Sim:
    """A running kestrel-sim; `args` are its options (str or bytes)."""

    def __init__(self, *args, log=None):
        command = [simulator_path(), "--port", "0", "--autofocus-ms", "20", *CALIBRATION, *args]
        if log is not None:
            command += ["--log", str(log)]
        self.log = log
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE)
        first = self.process.stdout.readline().decode()  # "kestrel-sim listening on 127.0.0.1:PORT"
        if "listening" not in first:
            self.process.kill()
            raise RuntimeError(f"kestrel-sim did not start: {first!r}")
        self.port = int(first.rsplit(":", 1)[1])

    def client(self, procedure=None):
        client = kestrel.Client(procedure)
        client.connect("127.0.0.1", self.port)
        return client

    def wait_for_log(self, text, limit=10.0):
        """Waits until the request log holds `text` (the server has received it)."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if text in self.log.read_text(errors="replace"):
                return
            time.sleep(0.01)
        raise AssertionError(f"{text!r} never reached the simulator")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()


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
    server = Sim()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def client(sim):
    client = sim.client()
    client.template_create("mark", "Cam1", "region", 3)  # matched as ("Cam1", "mark")
    return client


@pytest.fixture
def start_sim(tmp_path):
    """Starts simulators with extra options; each is stopped after the test."""
    started = []

    def start(*args, log=False):
        server = Sim(*args, log=tmp_path / f"sim{len(started)}.log" if log else None)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
