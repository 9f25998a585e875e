#!/usr/bin/env bash
# The README's install commands on a copy of the sources: pip into a venv,
# then the wheel and sdist with python3 -m build; the pytest suite runs
# against the installed module.
#   install.sh SOURCE_DIR WORK_DIR SIMULATOR PYTHON
set -euo pipefail
src=$1 work=$2 sim=$3 python=$4
rm -rf "$work" && mkdir -p "$work/repo"
for part in CMakeLists.txt cmake include src python; do
  cp -r "$src/$part" "$work/repo/"
done
rm -rf "$work/repo/python/build" "$work/repo/python/dist" "$work/repo/python"/*.egg-info
cd "$work/repo"

echo "== venv and pip install ./python (--no-index: nothing comes from a package index)"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --no-build-isolation ./python >"$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; exit 1; }

echo "== pytest against the installed module"
(cd "$work" && KESTREL_SIM="$sim" PYTHONDONTWRITEBYTECODE=1 \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$src/python/tests")
"$work/venv/bin/python" -c \
  'import kestrel, sys; assert kestrel.__file__.startswith(sys.argv[1]), kestrel.__file__' "$work/venv"

echo "== python3 -m build -n python"
"$python" -m build -n python >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
ls python/dist/kestrel-1.0.0.tar.gz python/dist/kestrel-1.0.0-*.whl
