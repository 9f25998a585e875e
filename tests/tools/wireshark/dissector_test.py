#!/usr/bin/python3
"""The Wireshark dissector (tools/wireshark/kestrel.lua) in real tshark.

Each case writes a capture of one TCP connection, runs
tshark -r CAPTURE -X lua_script:kestrel.lua -2 -T fields over it and compares,
frame by frame, the fields a field engineer reads.

tshark runs with a private, empty configuration (HOME, XDG_CONFIG_HOME and
WIRESHARK_CONFIG_DIR in a temporary folder), so that no personal profile,
preference or plugin changes what it shows. As root (as in CI) tshark only
warns: the system's init.lua (run_user_scripts_when_superuser) still lets it
run the script given with -X lua_script; the first check says so if a build
of tshark does not.

Usage: dissector_test.py [REPO] (default: this file's repository)
"""
import os
import struct
import subprocess
import sys
import tempfile

REPO = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../../..")
SCRIPT = os.path.abspath(os.path.join(REPO, "tools/wireshark/kestrel.lua"))
FIELDS = {"dir": "kestrel.direction", "command": "kestrel.command", "type": "kestrel.type",
          "message": "kestrel.message", "fields": "kestrel.fields",
          "request_in": "kestrel.request_in", "response_in": "kestrel.response_in",
          "time": "kestrel.time", "expert": "_ws.expert.message", "info": "_ws.col.Info"}


def capture(port, packets):
    """A pcap of one TCP connection 127.0.0.1:50000 <-> 127.0.0.2:PORT.
    PACKETS: (seconds, True when the client sends, payload)."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    seq = {True: 1000, False: 9000}
    ends = {True: (b"\x7f\0\0\1", 50000), False: (b"\x7f\0\0\2", port)}
    for t, client, payload in packets:
        (src, sport), (dst, dport) = ends[client], ends[not client]
        tcp = struct.pack("!HHIIBBHHH", sport, dport, seq[client], seq[not client],
                          5 << 4, 0x18, 65535, 0, 0)
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 40 + len(payload), 0, 0x4000, 64, 6, 0, src, dst)
        frame = b"\2\0\0\0\0\2" + b"\2\0\0\0\0\1" + b"\x08\x00" + ip + tcp + payload
        seq[client] += len(payload)
        out.append(struct.pack("<IIII", int(t), round(t % 1 * 1e6), len(frame), len(frame)) + frame)
    return b"".join(out)


def req(t, text):
    return (t, True, text.encode("gbk"))


def rep(t, text):
    return (t, False, text.encode("gbk"))


LONG = "<SetText,Cam1," + "x" * 10000  # completed to an exact length below
CASES = [
    ("a request and its reply in one segment each, linked, with the response time", 8000, [],
     [req(1.0, "<GetReal,Cam1,100.000000,200.000000>\r\n"), rep(1.25, "<GetReal,OK,0.250000&0.500000>\r\n")],
     {1: dict(dir="request", command="GetReal", fields="Cam1,100.000000,200.000000",
              response_in="2", request_in="", info="Request GetReal"),
      2: dict(dir="reply", command="GetReal", type="OK", fields="0.250000&0.500000",
              request_in="1", time="0.250000000", info="Reply GetReal OK", expert="")}),
    ("several lines in one segment; a GBK NG message", 8000, [],
     [req(1.0, "<StartGrab,Cam1>\r\n<GetGain,相机1>\r\n"),
      rep(1.5, "<StartGrab,OK,done>\r\n<GetGain,NG,相机忙>\r\n")],
     {1: dict(command="StartGrab|GetGain", fields="Cam1|相机1", response_in="2|2"),
      2: dict(type="OK|NG", message="相机忙", request_in="1|1",
              expert="NG reply: 相机忙", info="Reply StartGrab OK, Reply GetGain NG")}),
    # The CR LF split as well; the last segment ends one line and holds another.
    ("one line over three segments", 8000, [],
     [req(1.0, "<GetReal,Ca"), req(1.1, "m1,100.000000,200.000000>\r"), req(1.2, "\n<StartGrab,Cam1>\r\n"),
      rep(1.3, "<GetReal,OK,1&2>\r\n<StartGrab,OK,done>\r\n")],
     {1: dict(command=""), 2: dict(command=""),
      3: dict(command="GetReal|StartGrab", fields="Cam1,100.000000,200.000000|Cam1",
              response_in="4|4", info="Request GetReal, Request StartGrab"),
      4: dict(request_in="3|3")}),
    # The last request waits until the capture ends.
    ("requests without a reply", 8000, [],
     [req(1.0, "<GetGain,Cam1>\r\n"), req(2.0, "<StartGrab,Cam1>\r\n"),
      rep(2.5, "<StartGrab,OK,done>\r\n"), req(3.0, "<GetGain,Cam2>\r\n")],
     {1: dict(response_in="", expert="No reply: a later request was answered in frame 3"),
      2: dict(response_in="3", expert=""), 3: dict(request_in="2", time="0.500000000"),
      4: dict(expert="No reply before the end of the capture")}),
    # Lines of exactly 10,239 and 10,240 bytes, CR LF included; the first
    # line would not be taken by the heuristic: the preference is what counts.
    ("port preference; an unframed line, an over-long line", 9200, ["-o", "kestrel.port:9200"],
     [req(1.0, "hello\r\n"), req(1.1, LONG + "x" * (10239 - len(LONG) - 3) + ">\r\n"),
      req(1.2, LONG + "x" * (10240 - len(LONG) - 3) + ">\r\n"),
      rep(1.3, "<SetText,OK,done>\r\n<SetText,OK,done>\r\n")],
     {1: dict(dir="request", command="", expert="Line without the <...> frame"),
      2: dict(command="SetText", expert=""),
      3: dict(command="SetText", expert="Line of 10240 bytes, longer than the 10239 a reply buffer holds")}),
    ("another port, taken by the heuristic", 9100, [],
     [req(1.0, "<StartGrab,Cam1>\r\n"), rep(1.5, "<StartGrab,NG,no camera>\r\n")],
     {1: dict(dir="request", command="StartGrab", response_in="2"),
      2: dict(dir="reply", type="NG", message="no camera", request_in="1")}),
    ("HTTP on another port is not taken", 9100, [],
     [req(1.0, "GET /index.html HTTP/1.1\r\nHost: cam\r\n\r\n"), rep(1.1, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")],
     {1: dict(dir="", command=""), 2: dict(dir="", command="")}),
]


def tshark(env, *args):
    return subprocess.run(["tshark", *args, "-X", "lua_script:" + SCRIPT], env=env,
                          capture_output=True, text=True, encoding="utf-8")


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, HOME=tmp, XDG_CONFIG_HOME=tmp, WIRESHARK_CONFIG_DIR=tmp, LC_ALL="C.UTF-8")
        loaded = tshark(env, "-G", "protocols")
        if "\tkestrel\n" not in loaded.stdout:
            print("tshark did not load the dissector:", loaded.stderr)
            print("0 passed, 1 failed")
            return 1
        columns = list(FIELDS)
        for name, port, options, packets, expected in CASES:
            path = os.path.join(tmp, "case.pcap")
            with open(path, "wb") as f:
                f.write(capture(port, packets))
            run = tshark(env, "-r", path, "-2", *options, "-T", "fields", "-E", "occurrence=a",
                         "-E", "aggregator=|", *[a for c in columns for a in ("-e", FIELDS[c])])
            rows = run.stdout.split("\n")
            errors = [] if run.returncode == 0 else [f"tshark exited {run.returncode}: {run.stderr}"]
            for frame, want in expected.items():
                got = dict(zip(columns, rows[frame - 1].split("\t"))) if frame <= len(rows) else {}
                errors += [f"frame {frame} {FIELDS[k]}: expected {v!r}, got {got.get(k)!r}"
                           for k, v in want.items() if got.get(k) != v]
            failures += bool(errors)
            print(("FAIL " if errors else "ok   ") + name)
            for e in errors:
                print("     " + e)
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
