#!/usr/bin/env bash
# Compares the ABI of a built libkestrel.so with release 1.0.0's (commit
# d9d7d53 of this repository, built once into WORK_DIR from a worktree of
# it): the new library may add functions and types, never remove or change
# what 1.0.0 exported. Uses libabigail's abidiff on the public headers of
# each side; both libraries carry debug information (RelWithDebInfo).
#   check-abi.sh NEW_LIBRARY WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
. "$src/scripts/lib.sh"
need_packages abigail-tools
new=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mkdir -p "$2"
work=$(cd "$2" && pwd)
release=d9d7d53

base="$work/libkestrel-1.0.0.so"
if [ ! -f "$base" ]; then
  echo "== build release 1.0.0's library ($release)"
  git -C "$src" cat-file -e "$release^{commit}" ||
    { echo "commit $release (release 1.0.0) is not in this clone" >&2; exit 1; }
  rm -rf "$work/source" "$work/build"
  git -C "$src" worktree prune
  git -C "$src" worktree add --detach "$work/source" "$release" >/dev/null
  cmake -S "$work/source" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_TOOLS=OFF -DKESTREL_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$work/build" -j "$(jobs_for_machine)" --target kestrel >/dev/null
  cp "$(readlink -f "$work/build/src/libkestrel.so")" "$base"
  cp -r "$work/source/include" "$work/include-1.0.0"
  git -C "$src" worktree remove --force "$work/source"
fi

echo "== abidiff release 1.0.0 -> $(basename "$new")"
set +e
abidiff --headers-dir1 "$work/include-1.0.0" --headers-dir2 "$src/include" \
  "$base" "$new" >"$work/abidiff.txt"
status=$?
set -e
cat "$work/abidiff.txt"
# abidiff's exit status is a bit set: 4 an ABI change (additions), 8 an
# incompatible one, 1 and 2 errors of the tool itself.
if (( status & 3 )); then echo "abidiff could not compare (status $status)" >&2; exit 1; fi
if (( status & 8 )); then echo "the library breaks release 1.0.0's ABI" >&2; exit 1; fi
if grep -Eq '[1-9][0-9]* (Removed|Changed)' "$work/abidiff.txt"; then
  echo "the library removes or changes what release 1.0.0 exported" >&2; exit 1
fi
echo "abi check passed: release 1.0.0's ABI is kept, only additions"
