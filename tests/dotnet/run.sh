#!/usr/bin/env bash
# Compiles the .NET binding and its test with Mono's C# compiler and runs the
# test against libkestrel.so in LIBRARY_DIR and a simulator (tests/c/run.sh).
#   run.sh WORK_DIR LIBRARY_DIR SIMULATOR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1 libdir=$2 sim=$3
mkdir -p "$work"
mcs -langversion:7.2 -warnaserror -out:"$work/client_test.exe" \
  "$here/../../dotnet/Kestrel.cs" "$here/client_test.cs"
"$here/../c/run.sh" "$work" "env LD_LIBRARY_PATH=$libdir mono $work/client_test.exe" "$sim"
