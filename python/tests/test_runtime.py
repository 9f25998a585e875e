"""Logging, the client's shape (wait limit, with, repr, names), threads sharing
one client and Ctrl-C."""

import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import kestrel
from conftest import ScriptedServer, short_waits, wait_for_request

DEBUG, INFO, ERROR = logging.DEBUG, logging.INFO, logging.ERROR


def test_console_lines_are_log_records(caplog, kestrel_sim):
    """Each record: the console line, the client's title, the call's command,
    request, reply and latency; a failure once at ERROR, a status query at DEBUG.
    (The record of each other kind of failure: test_failures.py.)"""
    sim = kestrel_sim
    sim.add_fault("GetExposure:silent")
    caplog.set_level(DEBUG, logger="kestrel")
    procedure = kestrel.Procedure("工位1")
    client = short_waits(kestrel.Client(procedure))
    client.connect("127.0.0.1", sim.port)
    client.get_real("Cam1", (100, -20.5))
    with pytest.raises(kestrel.TimeoutError):
        client.get_exposure("Cam1")
    client.disconnect()
    assert not client.connected
    net = f"127.0.0.1:{sim.port}"
    real = ("GetReal", "<GetReal,Cam1,100.000000,-20.500000>", "<GetReal,OK,0.250000&-0.051250>")
    exposure = ("GetExposure", "<GetExposure,Cam1>", None)
    assert [(r.levelno, r.getMessage(), r.command, r.request, r.reply)
            for r in caplog.records if r.name == "kestrel"] == [
        (INFO, f"Net {net} Connect Success.", "Connect_Port", None, None),
        (INFO, "Net_IO_Send Success:" + real[1], *real),
        (INFO, "Net_IO_Recv Success:" + real[2], *real),
        (INFO, "Net_IO_Send Success:" + exposure[1], *exposure),
        (ERROR, "Net_IO_Recv Read Error ,  Receive[]", *exposure),
        (INFO, f"Net:{net} fail.", *exposure),
        (INFO, f"Net {net} Disconnect Success.", "Disconnect_Port", None, None),
        (DEBUG, f"Net {net} Disconnect Warning.", "Connect_Status", None, None),
    ]
    assert {r.title for r in caplog.records} == {"工位1/Kestrel"}
    latencies = {r.command: r.latency_ms for r in caplog.records}
    assert latencies["GetExposure"] >= 1000 > latencies["GetReal"]
    assert procedure.name == "工位1" and kestrel.Client().procedure.name == "python"


@pytest.mark.parametrize("ms,kept", [(999, 1000), (0, 1000), (-5, 1000), (1000, 10000),
                                     (5000, 10000), (10000, 10000), (2**70, 10000), (-2**70, 1000),
                                     (1.5, TypeError), ("1000", TypeError), (True, TypeError)])
def test_timeout_warns_when_the_library_keeps_another_value(ms, kept):
    client = kestrel.Client()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if kept is TypeError:
            with pytest.raises(TypeError, match=r"^timeout takes whole milliseconds as an int"):
                client.timeout = ms
        else:
            client.timeout = ms
    assert client.timeout == (5000 if kept is TypeError else kept)
    warned = [(w.category, str(w.message).split(": ")[0]) for w in caught]
    expected = f"timeout {ms} ms is kept as {kept} ms"
    assert warned == ([] if kept in (ms, TypeError) else [(UserWarning, expected)])


def test_client_with_repr_and_names_spelt_right(sim):
    client = kestrel.Client("127.0.0.1", sim.port)
    assert repr(client) == f"<kestrel.Client 127.0.0.1:{sim.port} not connected>"
    with client as entered:
        assert entered is client and client.connected
        assert repr(client) == f"<kestrel.Client 127.0.0.1:{sim.port} connected>"
        client.clear_camera_image("Cam1")  # the spelt-right names beside the library's
        client.set_cam_control_visible("Win1", "Cam1", True)
        client.disconnect()  # the end of the block does not raise for it
    with pytest.raises(ZeroDivisionError), client:
        assert client.connected
        1 / 0
    assert not client.connected and repr(client).endswith(" not connected>")
    client.connect()  # to the constructor's address
    client.reconnect()
    assert client.connected
    client.disconnect()
    assert repr(kestrel.Client()) == "<kestrel.Client not connected>"
    with pytest.raises(TypeError, match="address"):
        kestrel.Client().connect()
    with pytest.raises(kestrel.ConnectionError), kestrel.Client("127.0.0.1", 0):
        pass


def test_threads_share_one_client(caplog, kestrel_sim):
    """Each thread gets its own results, log records and red lines; the GIL is
    released while a call waits."""
    sim = kestrel_sim
    sim.add_fault("GetGain:ng:busy")
    caplog.set_level(INFO, logger="kestrel")
    shared = sim.client()
    results, failures = {}, []

    def convert(worker):
        results[worker] = []
        for i in range(50):
            results[worker].append(shared.get_real("Cam1", (worker, i)))
            if worker == 0:  # failures in between the others' successes
                try:
                    shared.get_gain("Cam1")
                except kestrel.CommandError as error:
                    failures.append(error.lines)

    held = ScriptedServer([b"<GetRotateCenter,OK,1&2>"], held=True)
    waiter = kestrel.Client()
    waiter.timeout = 10000
    waiter.connect("127.0.0.1", held.port)
    waited = []
    waiting = threading.Thread(target=lambda: waited.append(waiter.get_rotate_center("Cam1")))
    waiting.start()
    assert held.received.wait(10)
    workers = [threading.Thread(target=convert, args=(w,)) for w in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert waiting.is_alive()  # 250 commands ran while it waited in the library
    held.release.set()
    waiting.join()
    waiter.disconnect()
    held.close()
    assert waited == [(1.0, 2.0)]

    for worker in range(4):
        assert results[worker] == [(pytest.approx(worker * 0.0025), pytest.approx(i * 0.0025))
                                   for i in range(50)]
    assert failures == [("ERRMESSAGE:busy[Kestrel::Kestrel_GetGain]",)] * 50
    sent = [r for r in caplog.records if r.getMessage().startswith("Net_IO_Send Success:<GetReal")]
    assert len(sent) == 200
    for record in sent:  # logged by the thread that sent it
        worker = next(i for i, w in enumerate(workers) if w.ident == record.thread)
        assert record.getMessage().startswith(f"Net_IO_Send Success:<GetReal,Cam1,{worker}.000000,")


CTRL_C_SCRIPT = textwrap.dedent("""
    import logging, signal, sys, time
    import kestrel
    lines = []
    logging.getLogger("kestrel").addHandler(logging.Handler())
    logging.getLogger("kestrel").handlers[0].emit = lambda r: lines.append(r.getMessage())
    logging.getLogger("kestrel").setLevel(logging.INFO)
    client = kestrel.Client()
    client.timeout = 0
    client.connect("127.0.0.1", int(sys.argv[1]))
    signal.signal(signal.SIGINT, signal.default_int_handler)  # Python's own in front again
    try:
        client.auto_focus("Cam1", 1, 0.0, 1.0, 0.1, 1.0, 0.0)
        print("no interrupt")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    print("abort line:", any("python接收到中止信号" in line for line in lines))
    print("flag lowered:", not client.procedure.routine_abort)
    print("next command:", client.get_real("Cam1", (100, -20.5)))
""")


def test_ctrl_c_ends_a_long_wait_with_keyboard_interrupt(kestrel_sim):
    sim = kestrel_sim
    sim.add_fault("AutoFocus:silent")
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT, str(sim.port)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=dict(os.environ))
    try:
        wait_for_request(sim, "<AutoFocus")
        interrupted = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=15)
        elapsed = time.monotonic() - interrupted
    finally:
        child.kill()
    assert out.splitlines() == ["KeyboardInterrupt", "abort line: True", "flag lowered: True",
                                "next command: Point(x=0.25, y=-0.05125)"], err
    assert elapsed < 6, "the wait did not end at the next unsuccessful read (12 s in all)"
