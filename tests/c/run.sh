#!/usr/bin/env bash
# Starts a simulator with the faults the C (and .NET) test expects, runs the
# test against it and checks a flag's request in the simulator's log.
# PROGRAM and SIMULATOR may each be a command with its runner before it,
# quoted as one word (e.g. "wine64 c_api_test.exe").
#   run.sh WORK_DIR PROGRAM SIMULATOR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib.sh"
work=$1 program=$2 sim=$3
mkdir -p "$work"
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true' EXIT
# The log by a relative name, which a Windows simulator under Wine takes too.
cd "$work" && rm -f requests.log
# shellcheck disable=SC2086 # the words of a runner and its program
start_sim sim.out $sim --port 0 --autofocus-ms 0 --log requests.log \
  --fault 'GetGain:ng:camera busy' --fault 'StopGrab:silent'
# shellcheck disable=SC2086
$program "$port"
grep -qF '<CameraWinVisibleControl,W1,true,C1>' requests.log ||
  { echo "FAILED: the visible flag did not go out as true"; exit 1; }
