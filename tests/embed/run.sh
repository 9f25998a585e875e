#!/usr/bin/env bash
# Builds a program that embeds Kestrel through add_subdirectory and through
# find_package after an install, and runs each against the simulator.
#   run.sh SOURCE_DIR WORK_DIR SIMULATOR
set -euo pipefail
src=$1 work=$2 sim=$3
rm -rf "$work" && mkdir -p "$work"

. "$src/scripts/lib.sh"
sim_pid=""
trap 'kill $sim_pid 2>/dev/null || true' EXIT
start_sim "$work/sim.out" "$sim" --port 0 --autofocus-ms 0

echo "== add_subdirectory"
cmake -S "$src/tests/embed/consumer" -B "$work/sub" -G Ninja -DKESTREL_SOURCE_DIR="$src" >/dev/null
cmake --build "$work/sub" -j2 >/dev/null
"$work/sub/consumer" "$port"

echo "== install, then find_package (static library)"
cmake -S "$src" -B "$work/lib" -G Ninja -DBUILD_SHARED_LIBS=OFF -DKESTREL_BUILD_TESTS=OFF \
  -DKESTREL_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/lib" -j2 >/dev/null
cmake --install "$work/lib" --prefix "$work/prefix" >/dev/null
cmake -S "$src/tests/embed/consumer" -B "$work/pkg" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/pkg" -j2 >/dev/null
"$work/pkg/consumer" "$port"
