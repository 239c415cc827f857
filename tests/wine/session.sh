# Sourced by test.sh and demo.sh (and run by the end-to-end harness to make a
# prefix of its own): one Xvfb display and two base Wine prefixes for the whole
# run, win64 (WOW64) and win32, each booted once and copied for every test;
# everything started here is stopped on exit.
#
# The programs under test are the shipped i686 ones. Wine's 32-bit half is an
# i386 Linux program: where the kernel cannot run it, tests/wine/enable-i386.sh
# registers qemu for it, and every Wine run then needs QEMU_RESERVED_VA (the
# guest address space capped just above 2 GiB; lower fails, and without it
# each 32-bit process spends about a minute reserving 4 GiB).
nv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export NIVAXEL_WINE_BASE=${NIVAXEL_WINE_BASE:-$nv_root/build/wine}
export WINEDEBUG=-all
nv_prefixes=(win64 win32)

# The Wine loader for a prefix: wine64 starts 64-bit helpers natively and
# hands 32-bit programs to the 32-bit loader itself.
nv_wine_for() {
    case $1 in
        win32) echo /usr/lib/wine/wine ;;
        *) echo /usr/lib/wine/wine64 ;;
    esac
}

# Sets NIVAXEL_I386_MODE (native or qemu); non-zero when 32-bit code cannot run.
nv_i386_start() {
    NIVAXEL_I386_MODE=$("$nv_root/tests/wine/enable-i386.sh") || return 1
    export NIVAXEL_I386_MODE
    if [[ $NIVAXEL_I386_MODE == qemu ]]; then
        export QEMU_RESERVED_VA=0x81000000
    fi
}

nv_session_stop() {
    local p
    for p in "${nv_prefixes[@]}"; do
        [[ -d $NIVAXEL_WINE_BASE/$p ]] && WINEPREFIX=$NIVAXEL_WINE_BASE/$p wineserver -k 2>/dev/null || true
    done
    [[ -n ${nv_xvfb_pid:-} ]] && kill "$nv_xvfb_pid" 2>/dev/null || true
}

# nv_make_prefix ARCH [DIR]: boots a prefix (ARCH win64 or win32) whose
# programs open inside Wine's explorer desktop with a taskbar and a
# notification area, so that screenshots show what a person sees.
nv_make_prefix() {
    local arch=$1 dir=${2:-$NIVAXEL_WINE_BASE/$1} wine
    wine=$(nv_wine_for "$arch")
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    WINEARCH=$arch WINEPREFIX=$dir WINEDLLOVERRIDES="mscoree,mshtml=" timeout 600 "$wine" wineboot -i >/dev/null 2>&1
    WINEPREFIX=$dir timeout 120 wineserver -w
    # Written straight into the stopped prefix's user hive: through reg.exe a
    # new server would boot the session's services again, which costs a
    # minute when 32-bit code is emulated.
    [[ -f $dir/user.reg ]] && printf '%s\n' '' '[Software\\Wine\\Explorer]' '"Desktop"="shell"' '' \
        '[Software\\Wine\\Explorer\\Desktops]' '"shell"="1024x768"' >>"$dir/user.reg"
    [[ -f $dir/system.reg ]] && grep -q '"shell"="1024x768"' "$dir/user.reg" ||
        { echo "could not make the Wine prefix $dir" >&2; return 1; }
}

# nv_thread_exceptions_hold PREFIX: true when a 32-bit Wine process there
# survives an exception raised in a thread other than its newest. Under
# qemu-user it does not (tests/wine/thread-exception-probe.c says why), and
# Wine's own desktop process dies of it at start-up. 125: the probe could
# not be built.
nv_thread_exceptions_hold() {
    local exe=$nv_root/build/thread-exception-probe.exe
    mkdir -p "$nv_root/build"
    i686-w64-mingw32-gcc -O1 -o "$exe" "$nv_root/tests/wine/thread-exception-probe.c" || return 125
    NIVAXEL_PREFIX=$1 NIVAXEL_RUN_TIMEOUT=120 WINEDEBUG=-all "$nv_root/tests/wine/wine-run.sh" "$exe" >/dev/null 2>&1
}

# nv_layer NAME PREFIX COMMAND...: one test layer, logged with the 32-bit
# mode, the prefix it runs in and the seconds it took.
nv_layer() {
    local name=$1 prefix=$2 start rc=0
    shift 2
    echo "== $name [${NIVAXEL_I386_MODE:-?} 32-bit, prefix $prefix]"
    start=$SECONDS
    NIVAXEL_PREFIX=$prefix NIVAXEL_WINE=$(nv_wine_for "$prefix") "$@" || rc=$?
    echo "-- $name [${NIVAXEL_I386_MODE:-?} 32-bit, prefix $prefix]: $((SECONDS - start)) s, $([[ $rc -eq 0 ]] && echo passed || echo "FAILED ($rc)")"
    return $rc
}

nv_session_start() {
    nv_i386_start || return 1
    echo "== 32-bit code: $NIVAXEL_I386_MODE${QEMU_RESERVED_VA:+ (QEMU_RESERVED_VA=$QEMU_RESERVED_VA)}"
    if [[ -z ${NIVAXEL_KEEP_DISPLAY:-} || -z ${DISPLAY:-} ]]; then
        local n=$((90 + RANDOM % 400))
        while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        nv_xvfb_pid=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
    fi
    trap nv_session_stop EXIT
    local p start
    for p in "${nv_prefixes[@]}"; do
        if [[ -z ${NIVAXEL_REUSE_PREFIXES:-} || ! -f $NIVAXEL_WINE_BASE/$p/system.reg ]]; then
            start=$SECONDS
            nv_make_prefix "$p" || return 1
            echo "== made the Wine prefix $p: $((SECONDS - start)) s"
        fi
    done
}
