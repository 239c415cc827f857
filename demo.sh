#!/usr/bin/env bash
# Shows the whole system under Wine: the alert server, an install
# through the real installer, an alert on screen (screenshot in
# artifacts/screenshots/demo-alert.png), its acknowledgement, the uninstall.
set -euo pipefail
cd "$(dirname "$0")"
[[ -f dist/NivaxelSetup.exe ]] || ./build.sh
source tests/wine/session.sh
NIVAXEL_REUSE_PREFIXES=1 nv_session_start
python3 tests/e2e/demo.py
# The same system driven from the web console in Chromium: screenshots in
# artifacts/screenshots/console-*.png.
python3 tests/e2e/console_demo.py
