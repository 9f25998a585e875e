# Shared by the scripts: installs what a build needs on Debian.
# shellcheck shell=bash

# need_packages PACKAGE...: installs the Debian packages that are missing.
need_packages() {
  local missing=()
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq >/dev/null
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# as_root COMMAND...: runs COMMAND as root (through sudo unless root already).
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# start_sim OUTPUT COMMAND...: starts a simulator (COMMAND, with --port 0
# among its arguments) in the background, its output going to the file
# OUTPUT; sets $sim_pid and, once it listens, $port. Exits when it does not
# start within $SIM_START_SECONDS (default 5; a first start under Wine is slower).
start_sim() {
  local out=$1
  shift
  # The file exists before the child opens it: on a busy machine the first
  # look may come before the child has run at all.
  : >"$out"
  "$@" >"$out" 2>&1 &
  sim_pid=$!
  port=""
  for _ in $(seq $((${SIM_START_SECONDS:-5} * 20))); do
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p;T;q' "$out" || true)
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "the simulator did not start:" >&2
  cat "$out" >&2
  exit 1
}

# The packages every build of the project needs.
BASE_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev)
# Packet captures in the tools: read with libpcap, TCP reassembled by libtins.
BASE_PACKAGES+=(libpcap-dev libtins-dev)
# The simulator's control plane (--http): cpp-httplib, found through pkg-config.
BASE_PACKAGES+=(libcpp-httplib-dev pkg-config)
# The Python module (KESTREL_BUILD_PYTHON, on in the default preset), its
# tests and its offline packaging (pip install ./python, python3 -m build).
# The .NET binding's test and benchmark under Mono (C# 7.2, GBK encoding).
BASE_PACKAGES+=(mono-mcs mono-runtime libmono-i18n-cjk4.0-cil)
BASE_PACKAGES+=(python3-dev python3-venv python3-pip python3-setuptools python3-wheel pybind11-dev
                python3-pybind11 python3-pytest python3-build)

# What the suite of ./scripts/test (and --ci) runs besides: tshark for the
# Wireshark dissector's test (its question about capturing as a non-root user
# takes the default, no) and tcpdump for its live capture of the tour,
# rsvg-convert to render the tools' drawings, chromium for the simulator
# console's browser test and scripts/screenshot-console (node and npm come
# with the machine's nodejs).
TEST_PACKAGES=(tshark tcpdump librsvg2-bin chromium)

# What the Windows cross build and its runs under Wine need.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64 googletest)

jobs_for_machine() { nproc 2>/dev/null || echo 2; }
