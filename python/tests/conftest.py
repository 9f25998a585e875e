"""Fixtures: kestrel-sim on a free port, and clients connected to it.

KESTREL_SIM names the simulator (the CMake test sets it); without it the
default build's is used.
"""

import os
import pathlib
import subprocess
import time

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
