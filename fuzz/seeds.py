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


def link():
    def record_chunks(chunks):
        out = b""
        for c in chunks:
            while c:
                part, c = c[:255], c[255:]
                out += bytes([len(part)]) + part
        return out

    line = b"<GetReal,OK,10.000000&-3.5>\r\n"
    header = lambda term, limit, flags: bytes([term]) + struct.pack("<H", limit) + bytes([flags])
    # limit selector: raw % 8 == 0 -> 10240, == 1 -> 70000, else 2 + raw / 8 % 300
    write("lynk", "whole", header(0, 0, 0) + record_chunks([line]))
    write("lynk", "bytewise", header(0, 0, 0) + b"".join(bytes([1, b]) for b in line))
    write("lynk", "two-in-one", header(0, 0, 0) + record_chunks([line + line]))
    write("lynk", "crlf-split", header(0, 0, 0) + record_chunks([line[:-1], line[-1:]]))
    write("lynk", "short-limit", header(0, 8 * 10 + 2, 0) + record_chunks([line, line]))
    write("lynk", "run-overlong", header(0, 0, 0) + b"\x01<" + b"\x00\xa0A" + b"\x03>\r\n")
    write("lynk", "newline", header(1, 2, 0) + record_chunks([b"a\nbb\n\nccc"]))
    write("lynk", "gt-crlf", header(2, 3, 0) + record_chunks([b"<x>\r\n<y>\r>\r\n"]))
    write("lynk", "close", header(0, 0, 1) + record_chunks([line, b"<partial"]))


def yarn():
    # selector % 4: 0 split (form = selector / 4 % 6), 1 double, 2 int, 3 others
    for form in range(6):
        write("yarn", f"split{form}", bytes([form * 4, 8]) + b"a,bb,ccc,dddd,eeeee")
        write("yarn", f"split{form}-amp", bytes([form * 4, 0x80 | 7]) + b"1.5&2.5&90&0.8&x")
    for n, text in enumerate([b"12", b"-0.5", b"+3.", b".25", b"1e-3", b"2.5E+07", b"nan",
                              b"-Infinity", b"1e400", b"1e-400", b"0x10", b" 1", b"1,5"]):
        write("yarn", f"double{n:02d}", bytes([1, 0]) + text)
    for n, text in enumerate([b"12", b"-7", b"+5", b"2147483648", b"1.0", b""]):
        write("yarn", f"int{n}", bytes([2, 0]) + text)
    for n in range(5):
        write("yarn", f"other{n}", bytes([3 + 4 * n, 128]) + b"<SetGain,OK,>\r\n")


if __name__ == "__main__":
    replies()
    link()
    yarn()
