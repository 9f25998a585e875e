"""Values and exceptions of the kestrel module.

Plain Python, so that they pickle, print and compare like any named tuple;
the C++ layer builds its results and raises its exceptions with them.
"""

import builtins
from operator import itemgetter
from typing import NamedTuple, Sequence, Tuple


class Point(NamedTuple):
    """A 2-D point: x then y (the library's Point)."""

    x: float
    y: float


class CameraScale(NamedTuple):
    """The X and Y scale of a camera (get_camera_scale)."""

    x: float
    y: float


class FocusResult(NamedTuple):
    """The server's result number and text of an auto-focus cycle (auto_focus)."""

    result: float
    text: str


class Match(NamedTuple):
    """One template match: its centre, angle and score."""

    center: Point
    angle: float
    score: float


class Circle(NamedTuple):
    """A fitted circle: centre and radius (fix_circle)."""

    center: Point
    radius: float


class KerfResult(NamedTuple):
    """The eight values of a kerf check, in the library's order (kerf_check).

    The field names keep the library's spelling ("chipp"); the properties
    ``kerf_width_without_chipping`` and the like read the same values.
    """

    center: float
    kerf_width_without_chipp: float
    kerf_width_with_chipp: float
    center_chipp_distance: float
    chipp_size_width: float
    chipp_size_height: float
    kerf_measure7: float
    kerf_width_with_chipp2: float

    kerf_width_without_chipping = property(itemgetter(1), doc="kerf_width_without_chipp")
    kerf_width_with_chipping = property(itemgetter(2), doc="kerf_width_with_chipp")
    center_chipping_distance = property(itemgetter(3), doc="center_chipp_distance")
    chipping_size_width = property(itemgetter(4), doc="chipp_size_width")
    chipping_size_height = property(itemgetter(5), doc="chipp_size_height")
    kerf_width_with_chipping2 = property(itemgetter(7), doc="kerf_width_with_chipp2")


def _cut(text: str, most: int = 100) -> str:
    """`text`, or its first `most` characters and its length in bytes (GBK)."""
    if len(text) <= most:
        return text
    return f"{text[:most]}... ({len(text.encode('gbk', 'replace'))} bytes)"


class KestrelError(Exception):
    """A failed operation of the library.

    ``operation`` is the library's name of it (``"Kestrel_GetReal"``),
    ``command`` the same without the prefix (``"GetReal"``) and ``lines`` the
    red console lines it printed, decoded from GBK. ``str()`` is one short
    English sentence that starts with the command.
    """

    def __init__(self, operation: str, lines: Sequence[str] = ()) -> None:
        self.operation = operation
        self.command = operation.removeprefix("Kestrel_")
        self.lines: Tuple[str, ...] = tuple(lines)
        super().__init__(f"{self.command}: {self._describe()}")

    def _describe(self) -> str:
        return _cut("; ".join(self.lines), 160) if self.lines else "failed, no console line"

    def __str__(self) -> str:
        return self.args[0]

    def __reduce__(self):
        return (type(self), (self.operation, self.lines))


class CommandError(KestrelError):
    """A command returned false; the base of the command failures below.

    ``kind`` names how it failed, from the failure kind the library reports
    (``"server NG"``, ``"timed out"``, ``"unframed reply"``, ...); ``error_text`` is
    the client's error text after the call, decoded from GBK: the text of this
    failure when the protocol failed (no reply, a foreign head, "NG", an
    unknown type, a refused request); a reply field that does not convert
    leaves it as an earlier failure left it, and ``lines`` tells why.
    ``reply`` is the reply line as received ("" when none came) and
    ``latency_ms`` how long the call took.

    Raised as such when the server found no match (``kind`` "no match") or
    the library ran out of memory ("out of memory").
    """

    def __init__(self, operation: str, error_text: str = "", lines: Sequence[str] = (),
                 kind: str = "failed", reply: str = "", latency_ms: float = 0.0) -> None:
        self.error_text = error_text
        self.kind = kind
        self.reply = reply
        self.latency_ms = latency_ms
        super().__init__(operation, lines)

    def _describe(self) -> str:
        if self.kind == "no match":
            return "the server found no match"
        detail = self.error_text or "; ".join(self.lines) or "no error text"
        return f"{self.kind}: {_cut(detail)}"

    def __reduce__(self):
        return (type(self), (self.operation, self.error_text, self.lines, self.kind, self.reply,
                             self.latency_ms))


class ServerError(CommandError):
    """The server answered NG; ``message`` is its text (the error text)."""

    @property
    def message(self) -> str:
        return self.error_text

    def _describe(self) -> str:
        return f"the server answered NG: {_cut(self.error_text)}"


class TimeoutError(CommandError, builtins.TimeoutError):  # noqa: A001 (the module's own)
    """No reply came within the wait limit (or the server closed meanwhile);
    also a builtins.TimeoutError."""

    def _describe(self) -> str:
        return f"no reply within {self.latency_ms:.0f} ms"


_PROTOCOL = {
    "unframed reply": "the reply is not framed as <...>",
    "wrong reply head": "the reply names another command",
    "bad reply type": "the reply's type is neither OK nor NG",
    "bad reply": "the reply's values do not convert",
}


class ProtocolError(CommandError):
    """The exchange broke the protocol; the base of the five classes below,
    one per ``kind``: "unframed reply", "wrong reply head", "bad reply type",
    "bad reply" (a reply the library could not use) and "request too long"
    (the request would exceed 10237 characters: nothing was sent)."""

    def _describe(self) -> str:
        if self.kind == "request too long":
            return "the request is too long to send (at most 10237 characters); nothing was sent"
        return f"{_PROTOCOL.get(self.kind, self.kind)}: {_cut(self.reply) or 'no reply'}"


class UnframedReplyError(ProtocolError):
    """The reply was not a line framed as <...>, or was longer than 10239
    bytes (``kind`` "unframed reply")."""


class WrongReplyHeadError(ProtocolError):
    """The reply names another command than the request (``kind`` "wrong
    reply head")."""


class BadReplyTypeError(ProtocolError):
    """The reply's type is neither OK nor NG (``kind`` "bad reply type")."""


class BadReplyError(ProtocolError):
    """An OK reply whose values do not convert, or too few of them (``kind``
    "bad reply")."""


class RequestTooLongError(ProtocolError):
    """The request would be longer than 10237 characters; nothing was sent
    (``kind`` "request too long")."""


class AbortedError(CommandError):
    """An abort flag of the client's procedure ended the wait: ``kind`` is
    "aborted" (the procedure's own flag) or "plant aborted" (the machine-wide
    one)."""

    def _describe(self) -> str:
        flag = "the plant abort" if self.kind == "plant aborted" else "the procedure's abort flag"
        return f"the wait was ended by {flag}"


class ConnectionError(KestrelError, builtins.ConnectionError):  # noqa: A001 (the module's own)
    """connect, disconnect or reconnect failed; also a builtins.ConnectionError."""


class NotConnectedError(CommandError, ConnectionError):
    """A command found no link ("not connected") or could not write its
    request ("send failed"): nothing reached the server. Both a CommandError
    and a ConnectionError."""

    def _describe(self) -> str:
        if self.kind == "send failed":
            return "the request could not be sent"
        return "not connected to the server; nothing was sent"
