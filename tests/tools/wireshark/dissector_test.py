#!/usr/bin/python3
"""The Wireshark dissector (tools/wireshark/kestrel.lua) in real tshark.

Each case writes a capture of one TCP connection, runs
tshark -r CAPTURE -X lua_script:kestrel.lua -2 -T fields over it and compares,
frame by frame, the fields a field engineer reads.

tshark runs with a private, empty configuration (HOME, XDG_CONFIG_HOME and
WIRESHARK_CONFIG_DIR in a temporary folder), so that no personal profile,
preference or plugin changes what it shows. As root (as in CI) tshark only
warns: the system's init.lua (run_user_scripts_when_superuser) still lets it
run the script given with -X lua_script (a failing case shows tshark's
errors: a build of tshark that refuses says so there).

Usage: dissector_test.py [REPO] (default: this file's repository)
"""
import os
import struct
import subprocess
import sys
import tempfile

REPO = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../../..")
SCRIPT = os.path.abspath(os.path.join(REPO, "tools/wireshark/kestrel.lua"))
FIELDS = {k: "kestrel." + k for k in "direction command type message fields request_in response_in time".split()}
FIELDS.update(expert="_ws.expert.message", info="_ws.col.Info")
C, S = True, False  # who sends: the client, the server


def capture(port, packets):
    """A pcap (raw IPv4) of one TCP connection 127.0.0.1:50000 <-> 127.0.0.2:PORT.
    PACKETS: (seconds, C or S, text sent in GBK)."""
    out, seq = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)], {C: 1000, S: 9000}
    ends = {C: (b"\x7f\0\0\1", 50000), S: (b"\x7f\0\0\2", port)}
    for t, side, text in packets:
        data, (src, sport), (dst, dport) = text.encode("gbk"), ends[side], ends[not side]
        frame = (struct.pack("!BBHHHBBH4s4s", 0x45, 0, 40 + len(data), 0, 0x4000, 64, 6, 0, src, dst)
                 + struct.pack("!HHIIBBHHH", sport, dport, seq[side], seq[not side], 0x50, 0x18, 65535, 0, 0))
        seq[side] += len(data)
        out.append(struct.pack("<IIII", int(t), round(t % 1 * 1e6), len(frame) + len(data), len(frame) + len(data))
                   + frame + data)
    return b"".join(out)


def request_of(size):  # a request line of SIZE bytes, CR LF included
    return "<SetText,Cam1," + "x" * (size - 17) + ">\r\n"


CASES = [
    ("a request and its reply in one segment each, linked, with the response time", 8000, [],
     [(1.0, C, "<GetReal,Cam1,100.000000,200.000000>\r\n"), (1.25, S, "<GetReal,OK,0.250000&0.500000>\r\n")],
     {1: dict(direction="request", command="GetReal", fields="Cam1,100.000000,200.000000", response_in="2",
              request_in="", info="Request GetReal"),
      2: dict(direction="reply", command="GetReal", type="OK", fields="0.250000&0.500000", request_in="1",
              time="0.250000000", info="Reply GetReal OK", expert="")}),
    ("several lines in one segment; a GBK NG message", 8000, [],
     [(1.0, C, "<StartGrab,Cam1>\r\n<GetGain,相机1>\r\n"), (1.5, S, "<StartGrab,OK,done>\r\n<GetGain,NG,相机忙>\r\n")],
     {1: dict(command="StartGrab|GetGain", fields="Cam1|相机1", response_in="2|2"),
      2: dict(type="OK|NG", message="相机忙", request_in="1|1", expert="NG reply: 相机忙",
              info="Reply StartGrab OK, Reply GetGain NG")}),
    # The CR LF split as well; the last segment ends one line and holds another.
    ("one line over three segments", 8000, [],
     [(1.0, C, "<GetReal,Ca"), (1.1, C, "m1,100.000000,200.000000>\r"), (1.2, C, "\n<StartGrab,Cam1>\r\n"),
      (1.3, S, "<GetReal,OK,1&2>\r\n<StartGrab,OK,done>\r\n")],
     {1: dict(command=""), 2: dict(command=""), 4: dict(request_in="3|3"),
      3: dict(command="GetReal|StartGrab", fields="Cam1,100.000000,200.000000|Cam1", response_in="4|4",
              info="Request GetReal, Request StartGrab")}),
    # The last request waits until the capture ends.
    ("requests without a reply", 8000, [],
     [(1.0, C, "<GetGain,Cam1>\r\n"), (2.0, C, "<StartGrab,Cam1>\r\n"), (2.5, S, "<StartGrab,OK,done>\r\n"),
      (3.0, C, "<GetGain,Cam2>\r\n")],
     {1: dict(response_in="", expert="No reply: a later request was answered in frame 3"),
      2: dict(response_in="3", expert=""), 3: dict(request_in="2", time="0.500000000"),
      4: dict(expert="No reply before the end of the capture")}),
    # Lines of exactly 10,239 and 10,240 bytes, CR LF included; the heuristic
    # would not take the first line: the preference is what counts.
    ("port preference; an unframed line, an over-long line", 9200, ["-o", "kestrel.port:9200"],
     [(1.0, C, "hello\r\n"), (1.1, C, request_of(10239)), (1.2, C, request_of(10240)),
      (1.3, S, "<SetText,OK,done>\r\n<SetText,OK,done>\r\n")],
     {1: dict(direction="request", command="", expert="Line without the <...> frame"),
      2: dict(command="SetText", expert=""),
      3: dict(command="SetText", expert="Line of 10240 bytes, longer than the 10239 a reply buffer holds")}),
    ("another port, taken by the heuristic", 9100, [],
     [(1.0, C, "<StartGrab,Cam1>\r\n"), (1.5, S, "<StartGrab,NG,no camera>\r\n")],
     {1: dict(direction="request", command="StartGrab", response_in="2"),
      2: dict(direction="reply", type="NG", message="no camera", request_in="1")}),
    ("HTTP on another port is not taken", 9100, [],
     [(1.0, C, "GET /index.html HTTP/1.1\r\nHost: cam\r\n\r\n"), (1.1, S, "HTTP/1.1 200 OK\r\n\r\n")],
     {1: dict(direction="", command=""), 2: dict(direction="", command="")}),
]


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, HOME=tmp, XDG_CONFIG_HOME=tmp, WIRESHARK_CONFIG_DIR=tmp, LC_ALL="C.UTF-8")
        path = os.path.join(tmp, "case.pcap")
        for name, port, options, packets, expected in CASES:
            with open(path, "wb") as f:
                f.write(capture(port, packets))
            run = subprocess.run(["tshark", "-r", path, "-X", "lua_script:" + SCRIPT, "-2", *options,
                                  "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|",
                                  *[a for field in FIELDS.values() for a in ("-e", field)]],
                                 env=env, capture_output=True, text=True, encoding="utf-8")
            rows = [dict(zip(FIELDS, row.split("\t"))) for row in run.stdout.split("\n")]
            errors = [] if run.returncode == 0 else [f"tshark exited {run.returncode}"]
            for frame, want in expected.items():
                got = rows[frame - 1] if frame <= len(rows) else {}
                errors += [f"frame {frame} {FIELDS[k]}: expected {v!r}, got {got.get(k)!r}"
                           for k, v in want.items() if got.get(k) != v]
            failures += bool(errors)
            print(("FAIL " if errors else "ok   ") + name + "".join("\n     " + e for e in errors + [run.stderr.strip()] * bool(errors)))
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
