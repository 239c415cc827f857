#!/usr/bin/env bash
# Every test: native unit tests (ASan+UBSan), short fuzz runs, then the
# shipped i686 programs under Wine: the Windows tests in a 64-bit prefix
# (WOW64) and in a 32-bit one, then the end-to-end tests in both. 32-bit
# code runs natively where the kernel can, else under qemu
# (tests/wine/enable-i386.sh); each layer's log line names the mode, the
# prefix and the seconds it took.
# Screenshots land in artifacts/screenshots/.
set -euo pipefail
cd "$(dirname "$0")"
./build.sh

echo "== size budgets (i686 programs)"
ctest --test-dir build/windows -L size --output-on-failure

start=$SECONDS
echo "== unit (native)"
ctest --preset native -j "$(nproc)"
echo "-- unit (native): $((SECONDS - start)) s"

start=$SECONDS
echo "== fuzz (short bounded runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
tests/fuzz/run.sh 15
echo "-- fuzz: $((SECONDS - start)) s"

echo "== browser (the web console in Debian's chromium, against the real server)"
start=$SECONDS
# Each file starts its own server and browser. Once in three full runs here a
# whole file failed and then passed alone, its cause not yet found: the
# files that fail run once more, and the log names them.
browser_failed=()
for f in tests/browser/*.test.js; do
    (cd tests/browser && node --test "$(basename "$f")") || browser_failed+=("$(basename "$f")")
done
if ((${#browser_failed[@]})); then
    echo "== browser: again, ${browser_failed[*]}"
    for f in "${browser_failed[@]}"; do (cd tests/browser && node --test "$f"); done
    echo "-- browser: failed once then passed: ${browser_failed[*]}"
fi
echo "-- browser: $((SECONDS - start)) s"

export WINEDEBUG=-all
source tests/wine/session.sh   # 32-bit code, Xvfb, the two base prefixes made once
nv_session_start

# Every layer runs, so that one log shows all that fails.
failed=()
# Wine's 32-bit half now and then dies under qemu ("wine client error",
# "stack smashing detected" from its Unix side), most likely of an exception
# raised in a thread other than a process's newest (see
# tests/wine/thread-exception-probe.c): there a failed program runs once
# more, and an end-to-end test that failed runs once more (tests/e2e/run.py
# names those that passed only the second time). Run natively, a failure is
# a failure.
again=()
[[ $NIVAXEL_I386_MODE == qemu ]] && again=(--repeat until-pass:2)
e2e=(python3 tests/e2e/run.py "${again[@]:+--again}")

# The 32-bit prefix needs a 32-bit Wine that survives an exception raised in
# any of a process's threads: its desktop process raises one at start-up.
# Under qemu-user (7.2) it does not (tests/wine/thread-exception-probe.c):
# there the end-to-end layer is reported as skipped in that prefix rather
# than run to fail; a qemu that passes the probe gets it run.
start=$SECONDS
probe=0
[[ $NIVAXEL_I386_MODE == native ]] || nv_thread_exceptions_hold win32 || probe=$?
probe_seconds=$((SECONDS - start))
if ((probe == 125)); then
    echo "-- probe [${NIVAXEL_I386_MODE} 32-bit, prefix win32]: FAILED: it could not be built"
    failed+=("thread-exception probe")
fi
# The connection thread's program starts and ends a thread per test. Under
# qemu it died in both prefixes (wineserver crashed, a thread that never
# sent its probe, a TEB walked by another thread); it runs natively in the
# unit layer, the client's thread runs under Wine in the end-to-end tests,
# and where 32-bit code runs natively it runs here too.
skip=()
if [[ $NIVAXEL_I386_MODE == qemu ]]; then
    skip=(-E '^both_thread$')
    echo "-- contract (i686) [qemu 32-bit]: both_thread skipped: qemu-user runs a 32-bit Wine whose threads" \
        "come and go unreliably"
fi

nv_layer "contract (i686)" win64 ctest --preset windows -j 2 "${again[@]}" "${skip[@]}" ||
    failed+=("contract win64")
nv_layer "contract (i686)" win32 ctest --preset windows -j 2 "${again[@]}" "${skip[@]}" ||
    failed+=("contract win32")
nv_layer "end to end (dist/)" win64 "${e2e[@]}" ||
    failed+=("end to end win64")
if ((probe == 0)); then
    nv_layer "end to end (dist/)" win32 "${e2e[@]}" ||
        failed+=("end to end win32")
elif ((probe != 125)); then
    echo "-- end to end (dist/) [${NIVAXEL_I386_MODE} 32-bit, prefix win32]: skipped: an exception in any but a" \
        "process's newest thread kills 32-bit Wine here (probe: $probe_seconds s)"
fi
if ((${#failed[@]})); then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all tests passed"
