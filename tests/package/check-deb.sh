#!/usr/bin/env bash
# Proves the Debian packages in PACKAGE_DIR: installs them with apt-get,
# starts the installed kestrel-sim, runs the installed `kestrel` against it,
# builds the consumer program against the installed library with
# find_package and runs it against the simulator too, and builds and runs
# the C interface's test program against the installed kestrel_c.h. The packages that this
# check installed are purged again at the end, whatever happened, so that
# the machine is left as it was and a second run does the same.
#   check-deb.sh PACKAGE_DIR WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib.sh"
dir=$(cd "$1" && pwd)
work=$2
rm -rf "$work" && mkdir -p "$work"
work=$(cd "$work" && pwd)

names=(libkestrel1 libkestrel-dev kestrel-tools)
installed_before=()
for name in "${names[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null)" = "install ok installed" ] &&
    installed_before+=("$name")
done
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  local remove=()
  for name in "${names[@]}"; do
    [[ " ${installed_before[*]} " == *" $name "* ]] || remove+=("$name")
  done
  [ ${#remove[@]} -eq 0 ] || as_root apt-get purge -y -qq "${remove[@]}" >/dev/null
}
trap cleanup EXIT

echo "== apt-get install the .deb packages"
debs=()
for name in "${names[@]}"; do
  deb=$(ls "$dir/${name}_"*.deb)
  debs+=("$deb")
done
DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --reinstall "${debs[@]}" >/dev/null
dpkg-query -W "${names[@]}"

echo "== the installed kestrel-sim and kestrel"
start_sim "$work/sim.out" /usr/bin/kestrel-sim --port 0
/usr/bin/kestrel --port "$port" -q get-line-angle 0 0 10 10

echo "== a consumer built with find_package against the installed library"
cmake -S "$here/../embed/consumer" -B "$work/consumer" -G Ninja >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" "$port"

echo "== the C interface and the .NET binding in the development package"
ls /usr/include/kestrel/kestrel_c.h /usr/share/kestrel/dotnet/Kestrel.cs
echo "== the C interface: the C test built as C99 against the installed header and library"
cc -std=c99 -pedantic -Wall -Wextra -Werror -O2 "$here/../c/c_api_test.c" -lkestrel -lm \
  -o "$work/c_api_test"
"$here/../c/run.sh" "$work/c" "$work/c_api_test" /usr/bin/kestrel-sim
echo "deb check passed"
