#!/usr/bin/env bash
# The console's browser test: installs playwright-core from the lock file
# when missing (never a browser: Debian's chromium is the one used) and runs
# console_test.js. Exits 77 (skipped) without chromium or node, except in
# CI (CI=true), where the browser test must run.
#   run.sh KESTREL_SIM KESTREL
set -euo pipefail
cd "$(dirname "$0")"
# A machine without Node.js gets Debian's (one with it, as NodeSource's
# nodejs that carries npm itself, is left alone).
if [ "${CI:-}" = true ] && ! command -v npm >/dev/null; then
  . ../../../scripts/lib.sh
  need_packages nodejs npm
fi
if [ ! -x /usr/bin/chromium ] || ! command -v npm >/dev/null; then
  echo "skipped: the console's test needs /usr/bin/chromium, node and npm"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
if [ ! -d node_modules/playwright-core ]; then
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --prefer-offline
fi
exec node console_test.js "$@"
