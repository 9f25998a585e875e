#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The reply seeds are the reply shapes of every command of the tools' catalogue,
read from `kestrel help --json` (the command-line client's path is the
argument, build/default's by default): an "OK" reply with the catalogue's
sample payload, and for each command an "NG", a foreign head and an unknown
type, in files named after the operation; the link seeds are framed reply
lines in a few chunkings; the toolkit seeds are the field and list texts the
commands split and convert. Run it again after changing a target's input
format or the catalogue.
"""
import json
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

def write(target, name, data):
    path = os.path.join(HERE, "corpus", target)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def catalogue(cli):
    """The command operations as `kestrel help --json` lists them."""
    out = subprocess.run([cli, "help", "--json"], check=True, capture_output=True).stdout
    return [json.loads(line) for line in out.decode().splitlines()]


def replies(cli):
    # An input is the operation's name, a newline and the reply text.
    def seed(operation, kind, reply):
        write("replies", f"{operation}.{kind}", f"{operation}\n".encode() + reply)

    for op in catalogue(cli):
        name, word, payload = op["operation"], op["word"], op["sample_reply"]
        seed(name, "ok", f"{word},OK,{payload}".encode())
        if not word:
            continue  # sends nothing and takes no reply
        seed(name, "ng", f"{word},NG,camera busy, retry".encode())
        seed(name, "head", f"Other,OK,{payload}".encode())
        seed(name, "type", f"{word},ERR,{payload}".encode())
    # Lists whose count does not match, an empty count, a long field.
    seed("Kestrel_MultTemplate_Match", "count", b"Template_Match,OK,3,1&2&3&4")
    seed("Kestrel_WaferEdge", "count", b"WaferEdge,OK,2,1&2")
    seed("Kestrel_WaferEdge", "empty", b"WaferEdge,OK,")
    seed("Kestrel_GetGain", "long", b"GetGain,OK," + b"1" * 80)
    seed("Kestrel_AutoFocus", "long", b"AutoFocus,OK,1," + b"x" * 600)


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
               b"9" * 310 + b"e-1", b"0." + b"0" * 600 + b"1e200"]
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


def captures(cli):
    """Small captures of a short session, written by `kestrel trace --pcap`:
    as written, cut short mid-connection, and as pcapng (editcap, when
    Wireshark's tools are installed)."""
    session = [
        '{"format":"kestrel-trace","version":1,"started":"2024-05-06T09:14:03.511802Z","server":"10.0.0.5:8000"}',
        '{"us":120,"conn":1,"event":"open"}',
        '{"us":381,"conn":1,"dir":"request","line":"<GetGain,Cam1>","end":"crlf"}',
        '{"us":455,"conn":1,"dir":"reply","line":"<GetGain,OK,1.000000>","end":"crlf"}',
        '{"us":500,"conn":2,"event":"refused","error":"refused"}',
        '{"us":600,"conn":1,"dir":"request","line":"<StartGrab,Cam1","end":"lf"}',
        '{"us":700,"conn":1,"dir":"reply","line":"<StartGrab,NG,busy>","end":"lf"}',
        '{"us":9012,"conn":1,"event":"close","by":"client"}',
        '{"us":9050,"conn":1,"event":"close","by":"server"}',
    ]
    path = os.path.join(HERE, "corpus", "capture")
    os.makedirs(path, exist_ok=True)
    trace = os.path.join(path, "session.jsonl")
    with open(trace, "w") as f:
        f.write("\n".join(session) + "\n")
    pcap = os.path.join(path, "session.pcap")
    subprocess.run([cli, "trace", trace, "--pcap", pcap], check=True, stdout=subprocess.DEVNULL)
    os.remove(trace)
    with open(pcap, "rb") as f:
        whole = f.read()
    # Without the packets of the handshake: the first three after the file header.
    at = 24
    for _ in range(3):
        at += 16 + struct.unpack_from("<I", whole, at + 8)[0]
    write("capture", "mid-connection.pcap", whole[:24] + whole[at:])
    if shutil.which("editcap"):
        subprocess.run(["editcap", "-F", "pcapng", pcap, os.path.join(path, "session.pcapng")],
                       check=True)


if __name__ == "__main__":
    cli = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        HERE, "..", "build", "default", "tools", "cli", "kestrel")
    shutil.rmtree(os.path.join(HERE, "corpus", "replies"), ignore_errors=True)
    replies(cli)
    lines()
    yarn()
    captures(cli)
