#!/usr/bin/env bash
# ctest's emulator for Windows test programs: runs one under Wine in a fresh
# copy of the base prefix named by NIVAXEL_PREFIX (win64, the default, or
# win32), then stops that copy's wineserver and removes it.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/wine/session.sh"
prefix=${NIVAXEL_PREFIX:-win64}
base=$NIVAXEL_WINE_BASE/$prefix
if [[ ! -f $base/system.reg ]]; then
    echo "wine-run: no base prefix at $base (source tests/wine/session.sh; nv_session_start)" >&2
    exit 2
fi
if [[ -z ${NIVAXEL_I386_MODE:-} ]]; then
    nv_i386_start || exit 2
fi
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/nv-prefix.XXXXXX")
export WINEPREFIX WINEARCH=$prefix
cp -a "$base/." "$WINEPREFIX/"
# Test programs need no shell: without Wine's explorer desktop and taskbar
# they start sooner, and no desktop window is raced for under emulation.
sed -i '/^"Desktop"="shell"$/d' "$WINEPREFIX/user.reg"
timeout "${NIVAXEL_RUN_TIMEOUT:-600}" "${NIVAXEL_WINE:-$(nv_wine_for "$prefix")}" "$@"
rc=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
rm -rf "$WINEPREFIX"
exit $rc
