#!/usr/bin/env bash
# Every test: native unit tests (ASan+UBSan), the Windows tests under Wine
# (x86_64 build, 64-bit prefix: this machine runs no 32-bit code), short fuzz runs, then the end-to-end tests of the
# real programs under Wine and Xvfb. Screenshots land in artifacts/screenshots/.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
./build.sh

echo "== size budgets (i686 programs)"
ctest --test-dir build/windows -L size --output-on-failure

echo "== unit (native)"
ctest --preset native -j "$(nproc)"

export WINEDEBUG=-all
source tests/wine/session.sh   # Xvfb on a display of its own, prefixes made once
nv_session_start

echo "== contract (x86_64 Windows build, under 64-bit Wine)"
ctest --preset windows64 -j 2

echo "== fuzz (short bounded runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
tests/fuzz/run.sh 15

echo "== end to end (real programs under Wine)"
python3 -m unittest discover -s tests/e2e -p 'test_*.py' -v
echo "all tests passed"
