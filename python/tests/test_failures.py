"""What each kind of failure raises: the operation, the error text and the red
lines, decoded from GBK; and that no reply, however hostile, does more."""

import builtins
import socket

import pytest

import kestrel
from conftest import ScriptedServer, Sim
from kestrel import Point

BUSY_GBK = "相机忙".encode("gbk")

# fault rule, call, error text afterwards (None: as it was), start of the red line
FAILURES = [
    ("GetGain:ng:camera busy, really", lambda c: c.get_gain("Cam1"),
     "camera busy, really", "ERRMESSAGE:camera busy, really[Kestrel::Kestrel_GetGain]"),
    (b"GetLineAngle:ng:" + BUSY_GBK, lambda c: c.get_line_angle((0, 0), (1, 1)),
     "相机忙", "ERRMESSAGE:相机忙[Kestrel::Kestrel_GetLineAngle]"),
    ("GetExposure:wrong-head:SetGain", lambda c: c.get_exposure("Cam1"),
     "接收指令头:SetGain(GetExposure)未批配!", "UNKNOWN RECV COMMAND HEAD:SetGain(GetExposure)"),
    ("GetIntensity:bad-type:ERR", lambda c: c.get_light("Cam1"),
     "接收指令类型未识别:ERR(OK/NG)!", "UNKNOWN RECV TYPE:ERR(OK/NG)"),
    ("GetScale:unframed", lambda c: c.get_camera_scale("Cam1"), "通讯失败!", "Net_IO_Recv Error"),
    ("GetRuler:oversized:200", lambda c: c.get_ruler("Cam1", (1, 2)), None, "RulerPoint.X:XXXX"),
    ("GetRotateCenter:silent", lambda c: c.get_rotate_center("Cam1"),
     "通讯失败!", "Net_IO_Recv Read Error"),
    ("*:close-after:1000", lambda c: c.set_target_color("Cam1", ["x" * 99] * 110),
     "Request too long:11020 characters (at most 10237), not sent[Kestrel::Kestrel_SetTargetColor]",
     "Request too long:11020"),
    ("Template_Match:ng:no template", lambda c: c.template_match("Cam1", "none", "r", (0, 0), 0.5,
                                                                 True, False, "td"),
     "no template", "ERRMESSAGE:no template[Kestrel::Kestrel_MultTemplate_Match]"),
]


@pytest.fixture(scope="module")
def faulty(request):
    server = Sim(*[arg for rule, *_ in FAILURES for arg in ("--fault", rule)])
    request.addfinalizer(server.stop)
    client = server.client()
    client.timeout = 0  # one read of 1000 ms for the silent rule
    return client


@pytest.mark.parametrize("rule,action,error_text,line", FAILURES, ids=[str(f[0]) for f in FAILURES])
def test_failure_raises_command_error(faulty, rule, action, error_text, line):
    faulty.clear_error()
    with pytest.raises(kestrel.CommandError) as raised:
        action(faulty)
    error = raised.value
    assert error.operation.startswith("Kestrel_") and error.operation in str(error)
    assert error.error_text == (error_text if error_text is not None else "")
    assert faulty.error_text == error.error_text
    assert error.lines and error.lines[0].startswith(line)
    assert all(isinstance(text, str) for text in error.lines)


def test_failed_transaction_names_the_server_last(faulty):
    with pytest.raises(kestrel.CommandError) as raised:
        faulty.get_camera_scale("Cam1")
    assert raised.value.lines[-1].startswith("Net:127.0.0.1:") and raised.value.lines[-1].endswith(" fail.")


# reply to GetReal, then the Point it gives or the error text it leaves
HOSTILE = [
    (b"<GetReal,OK,1e308&-0.5>", Point(1e308, -0.5)),
    (b"<GetReal,OK,\xff\xfe&\x80\x80>", ""),
    (b"<GetReal,NG,\x81>", "\ufffd"),
    (b"<GetReal,NG," + BUSY_GBK + b"\xa3\xac>", "相机忙，"),
    (b"<GetReal,NG," + BUSY_GBK + b"\x00tail>", "相机忙"),  # framed, its text ends at the NUL
    (b"<GetReal,OK," + b"9" * 12000 + b">", "通讯失败!"),
    (b"<\x00\x00>", "接收指令头:(GetReal)未批配!"),
    (b"<GetReal>", "接收指令类型未识别:(OK/NG)!"),
    (b"<GetReal,OK," + b"1&" * 4000 + b">", ""),
]


def test_hostile_replies_raise_or_return_never_more():
    server = ScriptedServer(reply for reply, _ in HOSTILE)
    client = kestrel.Client()
    client.timeout = 0
    client.connect("127.0.0.1", server.port)
    try:
        for reply, outcome in HOSTILE:
            client.clear_error()
            if isinstance(outcome, Point):
                assert client.get_real("Cam1", (1, 2)) == outcome, reply[:40]
                continue
            with pytest.raises(kestrel.CommandError) as raised:
                client.get_real("Cam1", (1, 2))
            assert raised.value.error_text == outcome, reply[:40]
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
        with pytest.raises(kestrel.CommandError, match="Net_IO_Send Error") as raised:
            client.get_gain("Cam1")
        assert raised.value.error_text == "通讯失败!"
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
    client = kestrel.Client()  # not connected: anything sent would fail as a CommandError
    with pytest.raises(error):
        call(client)
