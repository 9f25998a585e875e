"""Kestrel from Python: the client of the machine-vision server.

The same library the machine software loads, one method per operation::

    import kestrel
    with kestrel.Client("127.0.0.1", 8000) as c:
        print(c.get_real("Cam1", (100, -20.5)))   # Point(x=0.25, y=-0.05125)

Exceptions::

    KestrelError                  every failure of the library
    +-- CommandError              a command failed (kind, error_text, reply, ...)
    |   +-- ServerError           the server answered NG (message)
    |   +-- TimeoutError          no reply in time; also builtins.TimeoutError
    |   +-- ProtocolError         the exchange broke the protocol (kind)
    |   |   +-- UnframedReplyError    no <...> line, or one over 10239 bytes
    |   |   +-- WrongReplyHeadError   the reply names another command
    |   |   +-- BadReplyTypeError     the reply's type is neither OK nor NG
    |   |   +-- BadReplyError         the reply's values do not convert
    |   |   +-- RequestTooLongError   over 10237 characters; nothing was sent
    |   +-- AbortedError          an abort flag ended the wait
    |   +-- NotConnectedError     no link, or the request could not be sent;
    |                             also a ConnectionError
    +-- ConnectionError           connect, disconnect or reconnect failed; also
                                  builtins.ConnectionError

Console lines go to the "kestrel" logger, each record with the call's
command, request, reply and latency_ms: the line that carries a failure as
ERROR (or WARNING for an abort), the other lines of a call as INFO, those of
a status query as DEBUG.
"""

from ._types import (
    AbortedError,
    BadReplyError,
    BadReplyTypeError,
    CameraScale,
    Circle,
    CommandError,
    ConnectionError,
    FocusResult,
    KerfResult,
    KestrelError,
    Match,
    NotConnectedError,
    Point,
    ProtocolError,
    RequestTooLongError,
    ServerError,
    TimeoutError,
    UnframedReplyError,
    WrongReplyHeadError,
)
from ._kestrel import Client, Procedure

__all__ = [
    "AbortedError",
    "BadReplyError",
    "BadReplyTypeError",
    "CameraScale",
    "Circle",
    "Client",
    "CommandError",
    "ConnectionError",
    "FocusResult",
    "KerfResult",
    "KestrelError",
    "Match",
    "NotConnectedError",
    "Point",
    "Procedure",
    "ProtocolError",
    "RequestTooLongError",
    "ServerError",
    "TimeoutError",
    "UnframedReplyError",
    "WrongReplyHeadError",
]
__version__ = "1.0.0"

Client.__module__ = Procedure.__module__ = __name__
