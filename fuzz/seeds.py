#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The reply seeds are the reply shapes of every command (an "OK" reply with a
typical payload, and for each command an "NG", a foreign head and an unknown
type); the link seeds are framed reply lines in a few chunkings; the toolkit
seeds are the field and list texts the commands split and convert. Run it
again after changing a target's input format.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# (command word, typical OK payload), in the order of the operations of
# replies_fuzz.cpp.
OPERATIONS = [
    ("SetGain", ""), ("SetExposure", ""), ("SetIntensity", ""), ("AdjustBrightness", ""),
    ("GetGain", "1.5"), ("GetExposure", "2000"), ("GetIntensity", "128"),
    ("StartGrab", ""), ("StopGrab", ""), ("ClearCameraIamge", ""),
    ("GetScale", "0.0025&0.0026"), ("SetStateColor", ""), ("SwitchToTheCamera", ""),
    ("CameraWinVisibleControl", ""), ("ShowBaseLineWidth", ""),
    ("AutoFocus", "12.5,focus done, best at 3"), ("Template_Create", ""),
    ("Template_Match", "2,10.5&20.25&0.5&0.97,30&40&-1.5&0.91"),
    ("Template_Match", "1,10.5&20.25&0.5&0.97"),
    ("SmallCellTemMatch", "1,1.5&2.5&90&0.8&extra"),
    ("WaferEdge", "3,1&2,3.5&-4,100&0"),
    ("KerfCheck", "1,2,3,4,5,6,7,8"),
    ("FixCircle", "1.5&-2.5,30.25"),
    ("MwCalAnotherPointReal", "1.25&2.5"), ("GetReal", "10.000000&-3.5"),
    ("GetRuler", "1e3&2E-3"), ("GetRealByPixelPoint", "0&0"),
    ("CovertPointCameraAToB", "-1&1"), ("GetRotateCenter", "1024&768"),
    ("GetLineAngle", "45.0"), ("GetPointAfterRotate_Real", "3&4"),
]


def write(target, name, data):
    path = os.path.join(HERE, "corpus", target)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def replies():
    for i, (word, payload) in enumerate(OPERATIONS):
        op = bytes([i])
        write("replies", f"{i:02d}-ok", op + f"{word},OK,{payload}".encode())
        write("replies", f"{i:02d}-ng", op + f"{word},NG,camera busy, retry".encode())
        write("replies", f"{i:02d}-head", op + f"Other,OK,{payload}".encode())
        write("replies", f"{i:02d}-type", op + f"{word},ERR,{payload}".encode())
    # Lists whose count does not match, an empty count, a long field.
    write("replies", "17-count", bytes([17]) + b"3,1&2&3&4")
    write("replies", "20-count", bytes([20]) + b"2,1&2")
    write("replies", "20-empty", bytes([20]) + b"WaferEdge,OK,")
    write("replies", "04-long", bytes([4]) + b"GetGain,OK," + b"1" * 80)
    write("replies", "15-long", bytes([15]) + b"AutoFocus,OK,1," + b"x" * 600)


def lines():
    def record_chunks(chunks):
        out = b""
        for c in chunks:
            while c:
                part, c = c[:255], c[255:]
                out += bytes([len(part)]) + part
        return out

    line = b"<GetReal,OK,10.000000&-3.5>\r\n"
    header = lambda term, raw, flags: bytes([term]) + struct.pack("<H", raw) + bytes([flags])
    # The reader's limit is 2 + raw % 1200 less its NUL: raw 1198 takes any of
    # these lines whole, raw 10 (limit 11) cuts them.
    whole = 1198
    write("lines", "whole", header(0, whole, 0) + record_chunks([line]))
    write("lines", "bytewise", header(0, whole, 0) + b"".join(bytes([1, b]) for b in line))
    write("lines", "two-in-one", header(0, whole, 0) + record_chunks([line + line]))
    write("lines", "crlf-split", header(0, whole, 0) + record_chunks([line[:-1], line[-1:]]))
    write("lines", "short-limit", header(0, 10, 0) + record_chunks([line, line]))
    write("lines", "run-overlong", header(0, whole, 0) + b"\x01<" + b"\x00\x20A" + b"\x03>\r\n")
    write("lines", "newline", header(1, 2, 0) + record_chunks([b"a\nbb\n\nccc"]))
    write("lines", "gt-crlf", header(2, 3, 0) + record_chunks([b"<x>\r\n<y>\r>\r\n"]))
    write("lines", "split", header(0, 10, 1) + record_chunks([line, b"<partial"]))
    # Split into pieces by a buffer that holds just the limit, bytes copied in.
    write("lines", "split-tight", header(2, 5, 7) + record_chunks([line, b"<x>\r", b"\n"]))
    write("lines", "drop-tight", header(0, 5, 6) + record_chunks([line, line]))
    # More lines than the buffer holds, read without a clear: it makes room as
    # it goes. Lines of 263 bytes in records of 255 fill a buffer of 600 bytes
    # with a partial line pending.
    many = b"".join(b"<%0258d>\r\n" % i for i in range(30))
    write("lines", "beyond-the-buffer", header(0, 598, 0) + record_chunks([many]))


def yarn():
    # selector % 4: 0 split (form = selector / 4 % 6), 1 double, 2 int, 3 others.
    # Every case of the toolkit's contract worth a name is a seed here: the
    # target's model is their oracle in every test build.
    # Splits: raw % 10 picks the size argument (8: 10240, 4: 3), bit 7 '&'.
    for form in range(6):
        write("yarn", f"split{form}", bytes([form * 4, 8]) + b"a,bb,ccc,dddd,eeeee")
        write("yarn", f"split{form}-amp", bytes([form * 4, 0x80 | 7]) + b"1.5&2.5&90&0.8&x")
        write("yarn", f"split{form}-short", bytes([form * 4, 8]) + b"abc")
        write("yarn", f"split{form}-cut", bytes([form * 4, 8]) + b"abcdefghijkl,rest")
        write("yarn", f"split{form}-size3", bytes([form * 4, 0x80 | 4]) + b"abcdef&x")
    write("yarn", "split4-in-place", bytes([16, 8]) + b"1,2,3,4,5")
    # Doubles: raw 0 is the callers' 0 and 0 bounds; an odd raw R bounds to
    # [-R, 3R].
    tiny = b"0." + b"0" * 400 + b"1"
    doubles = [b"12", b"-0.5", b"+3.", b".25", b"1e-3", b"2.5E+07", b"-150.500000", b"nan",
               b"-Infinity", b"1e400", b"1e-400", b"0x10", b" 1", b"1,5", b"1 ", b"1.5x",
               b"1e", b"--1", b"+-1", b"1.2.3", b"-", b".", b"", b"-NaN", b"nan()", b"inf",
               b"+INF", tiny, b"-" + tiny, b"0." + b"0" * 300 + b"1e300", b"1e999",
               b"9" * 310 + b"e-1"]
    for n, text in enumerate(doubles):
        write("yarn", f"double{n:02d}", bytes([1, 0]) + text)
    for n, text in enumerate([b"2", b"3", b"5", b"-2"]):
        write("yarn", f"double-ranged{n}", bytes([1, 1]) + text)
    ints = [b"12", b"-7", b"+5", b"2147483648", b"1.0", b"", b"007", b"2147483647",
            b"-2147483648", b" 1", b"1a", b"+-1", b"-"]
    for n, text in enumerate(ints):
        write("yarn", f"int{n:02d}", bytes([2, 0]) + text)
    for n, text in enumerate([b"9", b"10", b"-3", b"-4"]):
        write("yarn", f"int-ranged{n}", bytes([2, 3]) + text)
    # The rest: compare, find, append, remove (of two texts, split where raw
    # says), and unframe (of the whole text).
    def two(kind, name, a, b):
        raw = -(-len(a) * 256 // (len(a) + len(b)))
        assert (len(a) + len(b)) * raw // 256 == len(a), name
        write("yarn", f"other-{name}", bytes([3 + 4 * kind, raw]) + a + b)
    two(0, "compare-case", b"ok", b"OK")
    two(0, "compare-prefix", b"OKAY", b"OK")
    two(0, "compare-same", b"OK", b"OK")
    two(0, "compare-less", b"OK", b"ok")
    two(1, "find", b"<SetGain,MyAutoFocusCam,1>", b"AutoFocus")
    two(1, "find-case", b"<SetGain,autofocus,1>", b"AutoFocus")
    two(2, "cat", b"<X>", b"\r\n")
    two(3, "remove-last", b"<A\r\nB>\r\n", b"\r\n")
    two(3, "remove-none", b"<A>", b"\r\n")
    for n, text in enumerate([b"<GetGain,OK,1.25>\r\n", b"<SetGain,OK,>", b"GetGain>", b"<"]):
        write("yarn", f"other-bracket{n}", bytes([3 + 4 * 4, 0]) + text)


if __name__ == "__main__":
    replies()
    lines()
    yarn()
