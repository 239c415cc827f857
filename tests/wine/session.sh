# Sourced by test.sh and demo.sh: one Xvfb display and one base Wine prefix
# for the whole run; everything started here is stopped on exit.
#
# This machine executes no 32-bit Linux code, so Wine's 32-bit half cannot run
# here: the Windows tests run the x86_64 build of the same sources in a 64-bit
# prefix (build/windows64), while dist/ holds the i686 programs.
nv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export NIVAXEL_WINE_BASE=${NIVAXEL_WINE_BASE:-$nv_root/build/wine}
export NIVAXEL_WINE=${NIVAXEL_WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all

nv_session_stop() {
    [[ -d $NIVAXEL_WINE_BASE/win64 ]] && WINEPREFIX=$NIVAXEL_WINE_BASE/win64 wineserver -k 2>/dev/null || true
    [[ -n ${nv_xvfb_pid:-} ]] && kill "$nv_xvfb_pid" 2>/dev/null || true
}

nv_make_prefix() {
    local dir=$NIVAXEL_WINE_BASE/win64
    rm -rf "$dir"
    mkdir -p "$NIVAXEL_WINE_BASE"
    WINEARCH=win64 WINEPREFIX=$dir WINEDLLOVERRIDES="mscoree,mshtml=" timeout 180 "$NIVAXEL_WINE" wineboot -i >/dev/null 2>&1
    WINEPREFIX=$dir timeout 60 wineserver -w
    [[ -f $dir/system.reg ]] || { echo "could not make the Wine prefix $dir" >&2; return 1; }
}

nv_session_start() {
    if [[ -z ${NIVAXEL_KEEP_DISPLAY:-} || -z ${DISPLAY:-} ]]; then
        local n=$((90 + RANDOM % 400))
        while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        nv_xvfb_pid=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
    fi
    trap nv_session_stop EXIT
    if [[ -z ${NIVAXEL_REUSE_PREFIXES:-} || ! -f $NIVAXEL_WINE_BASE/win64/system.reg ]]; then
        echo "== making the Wine prefix"
        nv_make_prefix
    fi
}
