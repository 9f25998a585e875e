"""kestrel-sim for tests: a simulator started on free ports, with its control
plane (faults, journal, state, reset) at hand.

    from kestrel.testing import Simulator

    with Simulator("--fault", "GetGain:ng:camera busy") as sim:
        with sim.client() as c:
            ...
        sim.add_fault("GetExposure:silent")
        assert sim.journal()[-1]["outcome"] == "NG"

The simulator is the binary given, else $KESTREL_SIM, else `kestrel-sim` on
PATH. It is always stopped when the block ends (SIGTERM, then SIGKILL).

As a pytest plugin (loaded by the installed package, or with
``pytest_plugins = ["kestrel.testing"]``) it gives the fixture
``kestrel_sim``: a simulator started for the test, whose options come from
the fixture ``kestrel_sim_args`` (none unless a conftest overrides it).
"""

import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Dict, List, Optional, Sequence, Union

try:
    import pytest
except ImportError:  # the Simulator alone, outside pytest
    pytest = None

__all__ = ["ControlError", "JournalPage", "Simulator", "find_simulator"]

_LISTENING = "kestrel-sim listening on "
_CONSOLE = "console on "


class ControlError(Exception):
    """The control plane refused a request: ``status`` is the HTTP status,
    ``message`` the simulator's reason."""

    def __init__(self, method: str, path: str, status: int, message: str) -> None:
        self.status = status
        self.message = message
        super().__init__(f"{method} {path}: {status} {message}")


class JournalPage(list):
    """Journal entries (dicts: seq, us, conn, request, reply, outcome,
    latency_ms, fault); ``next`` is the sequence number to ask for next."""

    next: int

    def __init__(self, entries: Sequence[Dict[str, Any]], next: int) -> None:  # noqa: A002
        super().__init__(entries)
        self.next = next


def find_simulator(executable: Union[str, os.PathLike, None] = None) -> str:
    """The kestrel-sim to run: `executable`, else $KESTREL_SIM, else PATH's."""
    chosen = executable or os.environ.get("KESTREL_SIM") or shutil.which("kestrel-sim")
    if not chosen:
        raise FileNotFoundError("no kestrel-sim: pass its path, set KESTREL_SIM or put it on PATH")
    if not os.path.isfile(chosen):
        raise FileNotFoundError(f"no kestrel-sim at {chosen}")
    return os.fspath(chosen)


class Simulator:
    """A kestrel-sim started with ``--port 0 --http 0`` and `args`.

    ``host`` and ``port`` are where it serves the protocol, ``http_url``
    its control plane. Use it as a context manager, or call start() and
    stop() yourself.
    """

    def __init__(self, *args: Union[str, os.PathLike], executable: Union[str, os.PathLike, None] = None,
                 startup_timeout: float = 10.0, stop_timeout: float = 5.0) -> None:
        self.command = [find_simulator(executable), "--port", "0", "--http", "0",
                        *map(os.fspath, args)]
        self.startup_timeout = startup_timeout
        self.stop_timeout = stop_timeout
        self.host: Optional[str] = None
        self.port: Optional[int] = None
        self.http_url: Optional[str] = None
        self.process: Optional[subprocess.Popen] = None
        self._reader: Optional[threading.Thread] = None
        self._stderr = None

    # ---- Process ---------------------------------------------------------------

    def start(self) -> "Simulator":
        """Starts the simulator and waits (startup_timeout at most) for the
        lines that give its ports; raises RuntimeError when they do not come."""
        if self.process is not None:
            raise RuntimeError("the simulator is started already")
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=self._stderr)
        lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self._reader = threading.Thread(target=_read_lines, args=(self.process.stdout, lines),
                                        daemon=True)
        self._reader.start()
        try:
            listening = self._line(lines, _LISTENING)
            console = self._line(lines, _CONSOLE)
            host, _, port = listening[len(_LISTENING):].rpartition(":")
            self.host, self.port = host, int(port)
            self.http_url = console[len(_CONSOLE):].rstrip("/")
        except BaseException:
            self.stop()
            raise
        return self

    def _line(self, lines: "queue.Queue[Optional[str]]", start: str) -> str:
        try:
            line = lines.get(timeout=self.startup_timeout)
        except queue.Empty:
            line = ""
            why = f"no line starting {start!r} within {self.startup_timeout:g} s"
        else:
            why = f"expected a line starting {start!r}, got {line!r}"
        if line is not None and line.startswith(start):
            return line
        if line is None:
            why = f"it exited with {self.process.wait(self.stop_timeout)}"
        raise RuntimeError(f"kestrel-sim did not start: {why}; stderr: {self._errors()!r}")

    def _errors(self) -> str:
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace").strip()[-2000:]

    def stop(self) -> None:
        """Ends the process: SIGTERM, then SIGKILL after stop_timeout. Safe to
        call more than once."""
        process, self.process = self.process, None
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(self.stop_timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._reader.join(self.stop_timeout)  # at the end of its output
        process.stdout.close()
        self._stderr.close()

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        if self.process is None:
            return "<kestrel.testing.Simulator stopped>"
        return f"<kestrel.testing.Simulator {self.host}:{self.port} {self.http_url}>"

    def client(self, procedure=None):
        """A kestrel.Client connected to the simulator."""
        import kestrel

        client = kestrel.Client(procedure)
        client.connect(self.host, self.port)
        return client

    # ---- Control plane ---------------------------------------------------------

    def _call(self, method: str, path: str, body: Optional[Dict[str, Any]] = None) -> Any:
        if self.http_url is None:
            raise RuntimeError("the simulator is not running")
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.http_url + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return json.load(response)
        except urllib.error.HTTPError as error:
            with error:
                text = error.read().decode(errors="replace")
            try:
                message = json.loads(text)["error"]
            except (ValueError, KeyError, TypeError):
                message = text or error.reason
            raise ControlError(method, path, error.code, message) from None

    def add_fault(self, rule: str) -> int:
        """Adds a fault rule (``"GetGain:ng:camera busy"``); returns its id."""
        return self._call("POST", "/api/faults", {"rule": rule})["id"]

    def remove_fault(self, fault_id: int) -> None:
        """Removes the fault rule `fault_id`; ControlError (404) when there is none."""
        self._call("DELETE", f"/api/faults/{int(fault_id)}")

    def clear_faults(self) -> None:
        """Removes every fault rule, those of the command line too."""
        self._call("DELETE", "/api/faults")

    def faults(self) -> List[Dict[str, Any]]:
        """The rules in force: dicts of id, rule and used (times applied)."""
        return self._call("GET", "/api/faults")["faults"]

    def journal(self, since: int = 1, limit: Optional[int] = None) -> JournalPage:
        """The exchanges served from sequence number `since` on, at most
        `limit` of them (the simulator's default 1000 when None)."""
        query = {"since": since} if limit is None else {"since": since, "limit": limit}
        page = self._call("GET", "/api/journal?" + urllib.parse.urlencode(query))
        return JournalPage(page["entries"], page["next"])

    @property
    def state(self) -> Dict[str, Any]:
        """The simulated machine: cameras, templates, wafer, calibrations, ..."""
        return self._call("GET", "/api/state")

    def reset(self) -> None:
        """Back to what the command line gave: state, fault rules, journal."""
        self._call("POST", "/api/reset")


def _read_lines(stream, lines: "queue.Queue[Optional[str]]") -> None:
    """Hands the first two stdout lines over, then drains the rest so that the
    simulator never blocks on a full pipe; None at the end."""
    for count, raw in enumerate(iter(stream.readline, b"")):
        if count < 2:
            lines.put(raw.decode(errors="replace").rstrip("\r\n"))
    lines.put(None)


# ---- pytest plugin ----------------------------------------------------------------


if pytest is not None:

    @pytest.fixture
    def kestrel_sim_args() -> Sequence[str]:
        """Options for the simulators of ``kestrel_sim``; override it in a conftest."""
        return ()

    @pytest.fixture
    def kestrel_sim(kestrel_sim_args):
        """A kestrel-sim started for the test with ``kestrel_sim_args``, stopped after it."""
        with Simulator(*kestrel_sim_args) as sim:
            yield sim
