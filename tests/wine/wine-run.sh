#!/usr/bin/env bash
# ctest's emulator for Windows test programs: runs one under Wine in a fresh
# copy of the base prefix, then stops that copy's wineserver and removes it.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
base=${NIVAXEL_WINE_BASE:-$root/build/wine}/win64
if [[ ! -f $base/system.reg ]]; then
    echo "wine-run: no base prefix at $base (source tests/wine/session.sh; nv_session_start)" >&2
    exit 2
fi
export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/nv-prefix.XXXXXX")
export WINEPREFIX
cp -a "$base/." "$WINEPREFIX/"
timeout 600 "${NIVAXEL_WINE:-/usr/lib/wine/wine64}" "$@"
rc=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
rm -rf "$WINEPREFIX"
exit $rc
