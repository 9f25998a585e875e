#!/usr/bin/env bash
# A capture taken live with tcpdump on the loopback interface while the
# command-line client runs every command through the recorder: replayed
# strictly it gives the client the output the recorder's trace gives, and
# the dissector decodes every request and reply of it, paired, with no Lua
# error. Needs root (tcpdump), tcpdump and tshark.
#   tour_capture.sh SOURCE_DIR WORK_DIR KESTREL_SIM KESTREL
set -euo pipefail
src=$1 work=$2 sim=$3 cli=$4
if [ "$(id -u)" -ne 0 ] || ! command -v tcpdump >/dev/null; then
  echo "skipped: a capture on the loopback interface needs root and tcpdump"
  exit 77
fi
. "$src/scripts/lib.sh"
rm -rf "$work" && mkdir -p "$work" && cd "$work"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
tour() { "$cli" --port "$1" --json --keep-going --script "$src/tests/tools/data/all_commands.txt" || true; }

start_sim sim.out "$sim" --port 0 --autofocus-ms 50
pids+=("$sim_pid")
start_sim rec.out "$sim" --port 0 --record trace.jsonl --forward "127.0.0.1:$port"
pids+=("$sim_pid") recorder=$sim_pid rec_port=$port
# Immediate mode hands each packet over at once, in frames of the snapshot
# length: a short snapshot and a large buffer keep a busy machine from
# dropping any (the tour's segments are far shorter than 16 KiB).
tcpdump -i lo --immediate-mode -s 16384 -B 32768 -U -w tour.pcap "tcp port $rec_port" \
  2>tcpdump.err &
pids+=($!) dump=$!
for _ in $(seq 100); do grep -q listening tcpdump.err && break; sleep 0.05; done
tour "$rec_port" >recorded.json
sleep 0.2 && kill -INT "$dump" "$recorder" && wait "$dump" "$recorder" || true
if ! grep -q '^0 packets dropped by kernel' tcpdump.err; then
  echo "FAILED: tcpdump lost packets:"; cat tcpdump.err; exit 1
fi

for source in trace.jsonl tour.pcap; do
  start_sim "replay-$source.out" "$sim" --port 0 --replay "$source" --strict --pace fast
  pids+=("$sim_pid")
  tour "$port" >"replayed-$source.json"
  cmp recorded.json "replayed-$source.json" || { echo "FAILED: replay of $source differs"; exit 1; }
done

# The dissector: one row a line, in capture order, against the trace's lines.
HOME=$work XDG_CONFIG_HOME=$work tshark -r tour.pcap -2 -X "lua_script:$src/tools/wireshark/kestrel.lua" \
  -o "kestrel.port:$rec_port" -Y kestrel -T fields -E aggregator=/ \
  -e kestrel.direction -e kestrel.command -e kestrel.type -e kestrel.request_in \
  -e kestrel.response_in >decoded.txt 2>tshark.err
if grep -qi 'lua' tshark.err; then echo "FAILED: tshark reported:"; cat tshark.err; exit 1; fi
python3 - "$cli" <<'EOF'
import json, subprocess, sys
lines = [json.loads(l) for l in open("trace.jsonl").read().splitlines()[1:]]
expected = [(l["dir"], l["line"][1:].split(",")[0].rstrip(">")) for l in lines if "dir" in l]
rows = [r.split("\t") for r in open("decoded.txt").read().splitlines()]
got = []
for r in rows:
    for i, direction in enumerate(r[0].split("/")):
        column = lambda k: (r[k].split("/") + [""] * 8)[i] if k < len(r) else ""
        paired = column(4) if direction == "request" else column(3)
        if not paired:
            sys.exit(f"FAILED: {direction} {column(1)} is not paired")
        if direction == "reply" and column(2) != "OK" and column(2) != "NG":
            sys.exit(f"FAILED: reply {column(1)} has type {column(2)!r}")
        got.append((direction, column(1)))
if got != expected:
    sys.exit(f"FAILED: decoded {len(got)} lines, the trace has {len(expected)}: {got[:4]} ...")
print(f"{len(got)} lines decoded and paired; 1 passed, 0 failed")
EOF
