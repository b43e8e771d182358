#!/bin/bash
# Builds everything (host side and the Windows side) and runs every test:
# host tests and fuzzers natively, Windows tests under Wine in a private,
# headless prefix inside build/. Installs missing Debian packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
status=0
ctest --preset default "$@" || status=$?
# The tests' persistent wineserver is not needed any more.
[ -x build/windows/wine-run.sh ] && build/windows/wine-run.sh --kill || true
exit $status
