"""What each kind of failure raises: its exception, its message, the error
text and the red lines, decoded from GBK, logged once; and that no reply,
however hostile, does more."""

import builtins
import logging
import os
import pickle
import re
import socket

import pytest

import kestrel
from conftest import SIM_ARGS, ScriptedServer, short_waits
from kestrel.testing import ControlError, Simulator
from kestrel import Point

ERROR, WARNING = logging.ERROR, logging.WARNING

NET = r"Net:127\.0\.0\.1:\d+"


def aborted_by(flag):
    """Auto focus (twelve silent reads) with the client's `flag` raised."""
    def call(client):
        setattr(client.procedure, flag, True)
        try:
            client.auto_focus("Cam1", 1, 0.0, 1.0, 0.1, 1.0, 0.0)
        finally:
            assert getattr(client.procedure, flag)  # the caller's flag stays raised
            setattr(client.procedure, flag, False)
    return call


def unlinked(client):
    client.disconnect()
    try:
        client.get_gain("Cam1")
    finally:
        client.reconnect()


# fault rule, call, (exception class, a base it also is), kind, str()
# as a pattern, error text afterwards ("" untouched), the one record at
# WARNING or above (level, the start of its message as a pattern)
FAILURES = [
    ("GetLineAngle:ng:相机忙", lambda c: c.get_line_angle((0, 0), (1, 1)),
     (kestrel.ServerError, kestrel.CommandError), "server NG",
     r"GetLineAngle: the server answered NG: 相机忙", "相机忙",
     (ERROR, r"ERRMESSAGE:相机忙\[Kestrel::Kestrel_GetLineAngle\]")),
    ("GetExposure:wrong-head:SetGain", lambda c: c.get_exposure("Cam1"),
     (kestrel.WrongReplyHeadError, kestrel.ProtocolError), "wrong reply head",
     r"GetExposure: the reply names another command: <SetGain,OK,[\d.]+>",
     "接收指令头:SetGain(GetExposure)未批配!", (ERROR, r"UNKNOWN RECV COMMAND HEAD:SetGain\(GetExposure\)")),
    ("GetIntensity:bad-type:ERR", lambda c: c.get_light("Cam1"),
     (kestrel.BadReplyTypeError, kestrel.ProtocolError), "bad reply type",
     r"GetLight: the reply's type is neither OK nor NG: <GetIntensity,ERR,.*>",
     "接收指令类型未识别:ERR(OK/NG)!", (ERROR, r"UNKNOWN RECV TYPE:ERR\(OK/NG\)")),
    ("GetScale:unframed", lambda c: c.get_camera_scale("Cam1"),
     (kestrel.UnframedReplyError, kestrel.ProtocolError), "unframed reply",
     r"GetCameraScale: the reply is not framed as <\.\.\.>: GetScale,OK,[\d.&]+", "通讯失败!",
     (ERROR, "Net_IO_Recv Error")),
    ("GetRuler:oversized:200", lambda c: c.get_ruler("Cam1", (1, 2)),
     (kestrel.BadReplyError, kestrel.ProtocolError), "bad reply",
     r"GetRuler: the reply's values do not convert: <GetRuler,OK,X+\.\.\. \(198 bytes\)", "",
     (ERROR, "RulerPoint.X:XXXX")),
    ("GetRotateCenter:silent", lambda c: c.get_rotate_center("Cam1"),
     (kestrel.TimeoutError, builtins.TimeoutError), "timed out",
     r"GetRotateCenter: no reply within 1\d\d\d ms", "通讯失败!", (ERROR, "Net_IO_Recv Read Error")),
    ("*:close-after:1000", lambda c: c.set_target_color("Cam1", ["x" * 99] * 110),
     (kestrel.RequestTooLongError, kestrel.ProtocolError), "request too long",
     r"SetTargetColor: the request is too long to send \(at most 10237 characters\); "
     r"nothing was sent",
     "Request too long:11020 characters (at most 10237), not sent[Kestrel::Kestrel_SetTargetColor]",
     (ERROR, "Request too long:11020")),
    ("AutoFocus:silent", aborted_by("routine_abort"), (kestrel.AbortedError, kestrel.CommandError),
     "aborted", r"AutoFocus: the wait was ended by the procedure's abort flag", "通讯失败!",
     (WARNING, "python接收到中止信号")),
    ("AutoFocus:silent", aborted_by("plant_abort"), (kestrel.AbortedError, kestrel.CommandError),
     "plant aborted", r"AutoFocus: the wait was ended by the plant abort", "通讯失败!",
     (WARNING, "python接收到系统中止信号")),
    ("GetGain:ng:camera busy, really", unlinked,
     (kestrel.NotConnectedError, builtins.ConnectionError),
     "not connected", r"GetGain: not connected to the server; nothing was sent", "通讯失败!",
     (ERROR, NET + " Net_IO_Send Error:<GetGain,Cam1> ")),
]


@pytest.fixture(scope="module")
def faulty():
    rules = [arg for rule in {f[0] for f in FAILURES} for arg in ("--fault", rule)]
    with Simulator(*SIM_ARGS, *rules) as server:
        yield short_waits(server.client())


@pytest.mark.parametrize("rule,action,types,kind,message,error_text,loud", FAILURES,
                         ids=[f"{f[3]}:{f[0]!s:.30}" for f in FAILURES])
def test_failure_kind_raises_its_exception(faulty, caplog, rule, action, types, kind, message,
                                           error_text, loud):
    faulty.clear_error()
    caplog.set_level(logging.DEBUG, logger="kestrel")
    with pytest.raises(types[0]) as raised:
        action(faulty)
    error = raised.value
    assert type(error) is types[0] and isinstance(error, types[1]) and error.kind == kind
    assert re.fullmatch(message, str(error)) and len(str(error)) <= 200, str(error)
    assert error.error_text == error_text == faulty.error_text
    assert error.lines and all(isinstance(text, str) for text in error.lines)
    assert error.latency_ms < 6000  # an abort ends the twelve reads of auto focus at the first
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.lines) == (types[0], str(error), error.lines)
    # logged once as a warning or an error, with the call's command
    records = [r for r in caplog.records if r.name == "kestrel" and r.levelno >= WARNING]
    assert len(records) == 1 and records[0].levelno == loud[0]
    assert re.match(loud[1], records[0].getMessage()) and records[0].command == error.command
    assert len(records[0].getMessage()) <= 250 and records[0].line[:200] == records[0].getMessage()[:200]


def test_failed_transaction_names_the_server_last(faulty):
    with pytest.raises(kestrel.CommandError) as raised:
        faulty.get_camera_scale("Cam1")
    assert re.fullmatch(NET + " fail.", raised.value.lines[-1])


def test_faults_armed_at_run_time_show_in_the_journal(kestrel_sim):
    """A fault armed, met and removed through kestrel.testing; the journal's
    pages; what the control plane refuses; reset."""
    fault = kestrel_sim.add_fault("GetGain:ng:camera busy")
    client = kestrel_sim.client()
    with pytest.raises(kestrel.ServerError, match="camera busy"):
        client.get_gain("Cam1")
    kestrel_sim.remove_fault(fault)
    client.set_gain("Cam1", 2.5)
    assert kestrel_sim.faults() == []
    journal = kestrel_sim.journal()
    assert [(e["request"], e["outcome"], e["fault"]) for e in journal] == [
        ("<GetGain,Cam1>", "NG", "GetGain:ng:camera busy"), ("<SetGain,Cam1,2.500000>", "OK", None)]
    assert kestrel_sim.journal(since=journal.next) == [] and kestrel_sim.journal(limit=1) == journal[:1]
    assert kestrel_sim.state["cameras"]["Cam1"]["gain"] == 2.5
    for refused, status, reason in [(lambda: kestrel_sim.remove_fault(fault), 404, "no fault rule"),
                                    (lambda: kestrel_sim.add_fault("GetGain"), 400, "'GetGain'")]:
        with pytest.raises(ControlError, match=reason) as raised:
            refused()
        assert raised.value.status == status
    kestrel_sim.reset()
    assert kestrel_sim.journal() == [] and kestrel_sim.state["cameras"] == {}
    client.disconnect()


def silent_simulator(tmp_path):
    """A stand-in that prints nothing and writes its process id."""
    script = tmp_path / "silent-sim"
    script.write_text(f"#!/bin/sh\necho $$ > {tmp_path}/pid\nexec sleep 60\n")
    script.chmod(0o755)
    return {"executable": script, "startup_timeout": 0.5}


@pytest.mark.parametrize("options,error,message", [
    (lambda _: {"executable": "/nonexistent/kestrel-sim"}, FileNotFoundError, "no kestrel-sim at"),
    (lambda _: {}, RuntimeError, r"did not start: it exited with \d+; stderr: .*--no-such-option"),
    (silent_simulator, RuntimeError, r"did not start: no line starting .* within 0.5 s"),
])
def test_a_simulator_that_does_not_start_raises_and_is_stopped(tmp_path, options, error, message):
    with pytest.raises(error, match=message):
        Simulator("--no-such-option", **options(tmp_path)).start()
    if options is silent_simulator:  # it was killed, not left waiting
        with pytest.raises(ProcessLookupError):
            os.kill(int((tmp_path / "pid").read_text()), 0)


# reply to GetReal, then the Point it gives or the kind and error text of its failure:
# bytes that are no GBK, in a payload and in an NG text. (How the library judges
# hostile replies is the C++ tests' and the replies fuzz target's.)
HOSTILE = [
    (b"<GetReal,OK,1e308&-0.5>", Point(1e308, -0.5)),
    (b"<GetReal,OK,\xff\xfe&\x80\x80>", ("bad reply", "")),
    (b"<GetReal,NG,\x81>", ("server NG", "\ufffd")),
]


def test_hostile_replies_raise_or_return_never_more():
    server = ScriptedServer(reply for reply, _ in HOSTILE)
    client = short_waits(kestrel.Client())
    client.connect("127.0.0.1", server.port)
    try:
        for reply, outcome in HOSTILE:
            client.clear_error()
            if isinstance(outcome, Point):
                assert client.get_real("Cam1", (1, 2)) == outcome, reply[:40]
                continue
            with pytest.raises(kestrel.CommandError) as raised:
                client.get_real("Cam1", (1, 2))
            assert (raised.value.kind, raised.value.error_text) == outcome, reply[:40]
            assert len(str(raised.value)) <= 200
    finally:
        client.disconnect()
        server.close()


def test_connection_failures_raise_connection_error():
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))  # bound, never listening: connect is refused
    port = closed.getsockname()[1]
    client = kestrel.Client()
    try:
        with pytest.raises(kestrel.ConnectionError) as raised:
            client.connect("127.0.0.1", port)
        assert isinstance(raised.value, builtins.ConnectionError)
        assert raised.value.operation == "Kestrel_Connect_Port"
        assert raised.value.lines == (f"Net 127.0.0.1:{port} Connect Error.",)
        with pytest.raises(kestrel.ConnectionError, match="Disconnect Error"):
            client.disconnect()
        with pytest.raises(kestrel.ConnectionError, match="Connect Error"):
            client.reconnect()  # the stored address and port
        assert not client.connected
    finally:
        closed.close()


@pytest.mark.parametrize("call,error", [
    (lambda c: c.get_real("Cam\U0001F600", (0, 0)), UnicodeEncodeError),
    (lambda c: c.get_real("Cam\0", (0, 0)), ValueError),
    (lambda c: c.get_real("Cam1", (0, 0, 0)), TypeError),
    (lambda c: c.get_real("Cam1", ("0", 0)), TypeError),
    (lambda c: c.set_light("Cam1", 1.5), TypeError),
    (lambda c: c.set_target_color("Cam1", "red"), TypeError),
    (lambda c: c.fix_circle([(0, 0), None]), TypeError),
])
def test_bad_arguments_raise_before_anything_is_sent(call, error):
    client = kestrel.Client()  # not connected: anything sent would fail as NotConnectedError
    with pytest.raises(error):
        call(client)
