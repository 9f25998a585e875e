# Shared by the scripts: installs what a build needs on Debian.
# shellcheck shell=bash

# need_packages PACKAGE...: installs the Debian packages that are missing.
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every build of the project needs.
BASE_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev)
# The Python module (KESTREL_BUILD_PYTHON, on in the default preset), its
# tests and its offline packaging (pip install ./python, python3 -m build).
BASE_PACKAGES+=(python3-dev python3-venv python3-pip python3-setuptools python3-wheel pybind11-dev
                python3-pybind11 python3-pytest python3-build)

jobs_for_machine() { nproc 2>/dev/null || echo 2; }
