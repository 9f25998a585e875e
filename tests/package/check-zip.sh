#!/usr/bin/env bash
# Proves the Windows SDK ZIP in PACKAGE_DIR: unpacks it, cross-builds the
# consumer program with MinGW-w64 against the unpacked folder through
# find_package (CMAKE_PREFIX_PATH), starts the unpacked kestrel-sim.exe under
# Wine, and runs the unpacked kestrel.exe and the consumer (beside a copy of
# the unpacked kestrel.dll) against it, then stops the simulator with Ctrl-C
# and wants exit code 0. The C interface: the DLL's export table holds every
# function of kestrel_c.h unmangled, and the C test program, cross-built as
# C99 against the unpacked header and import library, passes under Wine
# against the unpacked DLL and simulator. Wine runs in a prefix of its own
# under WORK_DIR, kept between runs, and is ended at the end.
#   check-zip.sh PACKAGE_DIR WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
. "$src/scripts/lib.sh"
dir=$(cd "$1" && pwd)
mkdir -p "$2"
work=$(cd "$2" && pwd)
zip=$(ls "$dir"/kestrel-*-win64.zip)

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT
[ -f "$WINEPREFIX/.kestrel-ready" ] || { "$wine" wineboot --init >/dev/null 2>&1 && touch "$WINEPREFIX/.kestrel-ready"; }

echo "== unpack $(basename "$zip")"
rm -rf "$work/sdk" "$work/consumer"
mkdir -p "$work/sdk"
cmake -E chdir "$work/sdk" cmake -E tar xf "$zip"
sdk=$(ls -d "$work/sdk"/kestrel-*-win64)
ls "$sdk" "$sdk/bin"

echo "== a consumer cross-built with find_package against the unpacked SDK"
cmake -S "$src/tests/embed/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$sdk" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH \
  -DCMAKE_CROSSCOMPILING_EMULATOR="" >/dev/null
cmake --build "$work/consumer" >/dev/null
cp "$sdk/bin/kestrel.dll" "$work/consumer/"

echo "== the unpacked kestrel-sim.exe and kestrel.exe under Wine"
SIM_START_SECONDS=60 start_sim "$work/sim.out" "$wine" "$sdk/bin/kestrel-sim.exe" --port 0
"$wine" "$sdk/bin/kestrel.exe" --port "$port" -q get-line-angle 0 0 10 10
"$wine" "$work/consumer/consumer.exe" "$port"

echo "== the C interface: unmangled exports and the C test under Wine"
ls "$sdk/include/kestrel/kestrel_c.h" "$sdk/share/kestrel/dotnet/Kestrel.cs"
exports=$(x86_64-w64-mingw32-objdump -p "$sdk/bin/kestrel.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '{print $NF}' | grep '^kestrel_' | sort -u)
declared=$(grep -o 'kestrel_[a-z0-9_]*(' "$sdk/include/kestrel/kestrel_c.h" | tr -d '(' | sort -u)
missing=$(comm -23 <(echo "$declared") <(echo "$exports"))
if [ -n "$missing" ]; then
  echo "kestrel.dll does not export, unmangled:"; echo "$missing"; exit 1
fi
echo "$(echo "$declared" | wc -l) C functions exported unmangled"
rm -rf "$work/c" && mkdir -p "$work/c"
x86_64-w64-mingw32-gcc-posix -std=c99 -pedantic -Wall -Wextra -Werror -O2 -I"$sdk/include" \
  "$src/tests/c/c_api_test.c" -L"$sdk/lib" -lkestrel -o "$work/c/c_api_test.exe"
cp "$sdk/bin/kestrel.dll" "$work/c/"
SIM_START_SECONDS=60 "$src/tests/c/run.sh" "$work/c" "$wine $work/c/c_api_test.exe" \
  "$wine $sdk/bin/kestrel-sim.exe"

echo "== Ctrl-C stops kestrel-sim.exe in order"
kill -INT "$sim_pid"   # Wine hands it to the program as a console Ctrl-C
for _ in $(seq 200); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$sim_pid" 2>/dev/null || ! wait "$sim_pid"; then
  echo "kestrel-sim.exe did not stop cleanly on Ctrl-C:"
  cat "$work/sim.out"
  exit 1
fi
sim_pid=""
echo "zip check passed"
