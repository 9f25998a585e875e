"""Kestrel from Python: the client of the machine-vision server.

The same library the machine software loads, one method per operation::

    import kestrel
    c = kestrel.Client()
    c.connect("127.0.0.1", 8000)
    print(c.get_real("Cam1", (100, -20.5)))   # Point(x=0.25, y=-0.05125)

A failed command raises CommandError, a failed connect ConnectionError.
Console lines go to the "kestrel" logger: red as ERROR, yellow as WARNING,
green and plain as INFO.
"""

from ._types import (
    CameraScale,
    Circle,
    CommandError,
    ConnectionError,
    FocusResult,
    KerfResult,
    KestrelError,
    Match,
    Point,
)
from ._kestrel import Client, Procedure

__all__ = [
    "CameraScale",
    "Circle",
    "Client",
    "CommandError",
    "ConnectionError",
    "FocusResult",
    "KerfResult",
    "KestrelError",
    "Match",
    "Point",
    "Procedure",
]
__version__ = "1.0.0"

Client.__module__ = Procedure.__module__ = __name__
