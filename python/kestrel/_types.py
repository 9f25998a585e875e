"""Values and exceptions of the kestrel module.

Plain Python, so that they pickle, print and compare like any named tuple;
the C++ layer builds its results and raises its exceptions with them.
"""

import builtins
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
    """The eight values of a kerf check, in the library's order (kerf_check)."""

    center: float
    kerf_width_without_chipp: float
    kerf_width_with_chipp: float
    center_chipp_distance: float
    chipp_size_width: float
    chipp_size_height: float
    kerf_measure7: float
    kerf_width_with_chipp2: float


class KestrelError(Exception):
    """A failed operation of the library.

    ``operation`` is the library's name of it (``"Kestrel_GetReal"``) and
    ``lines`` the red console lines it printed, decoded from GBK.
    """

    def __init__(self, operation: str, lines: Sequence[str] = ()) -> None:
        self.operation = operation
        self.lines: Tuple[str, ...] = tuple(lines)
        detail = "; ".join(self.lines) if self.lines else "no console line"
        self.message = f"{operation} failed: {detail}"
        super().__init__(self.message)

    def __str__(self) -> str:
        return self.message

    def __reduce__(self):
        return (type(self), (self.operation, self.lines))


class CommandError(KestrelError):
    """A command returned false.

    ``error_text`` is the client's error text after the call, decoded from
    GBK: the text of this failure when the protocol failed (no reply, a foreign
    head, "NG", an unknown type, a refused request); a reply field that does not
    convert leaves it as an earlier failure left it, and ``lines`` tells why.
    """

    def __init__(self, operation: str, error_text: str = "", lines: Sequence[str] = ()) -> None:
        self.error_text = error_text
        super().__init__(operation, lines)

    def __reduce__(self):
        return (type(self), (self.operation, self.error_text, self.lines))


class ConnectionError(KestrelError, builtins.ConnectionError):  # noqa: A001 (the module's own)
    """connect, disconnect or reconnect failed; also a builtins.ConnectionError."""
