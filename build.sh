#!/usr/bin/env bash
# Builds everything and leaves the three Windows programs (and the alert
# server) in dist/. Run as root on a fresh Debian machine, it first
# installs the Debian packages that are missing, Wine's 32-bit half (i386
# architecture) and qemu for machines whose kernel runs no 32-bit code.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev zlib1g-dev libasio-dev python3
          libsqlite3-dev libcpp-httplib-dev nlohmann-json3-dev libsodium-dev libssl-dev pkg-config openssl
          g++-mingw-w64-i686-posix libz-mingw-w64-dev
          g++-mingw-w64-x86-64-posix
          wine wine64 wine32:i386 qemu-user-static xvfb xauth imagemagick x11-utils libx11-dev
          wixl msitools)
# The web console's browser tests: Node for Playwright, Debian's chromium.
packages+=(nodejs chromium)
# Deployment packages: the MSI, built with wixl and checked with msitools.
packages+=(wixl msitools)
# The real components the server works with, started by the tests
# themselves on loopback: PostgreSQL, haproxy, an OpenLDAP directory,
# Alertmanager; and the client libraries the server links (libpq, libldap,
# libxml2 for CAP documents, Boost's Asio/Beast for the admin listener).
packages+=(postgresql libpq-dev haproxy slapd ldap-utils libldap-dev prometheus-alertmanager
           libxml2-dev libxml2-utils libboost-dev)
# The MQTT broker the alert server's fan-out is measured against (bench_floor).
packages+=(mosquitto)
command -v npm >/dev/null || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
need_i386=
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing Debian packages. Run as root, then run ./build.sh again:" >&2
        echo "  ${need_i386:+dpkg --add-architecture i386 && }apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    [[ -z $need_i386 ]] || dpkg --add-architecture i386
    # A mirror caught mid-sync fails one index now and then; that passes.
    for try in 1 2 3; do
        apt-get update -qq && break
        echo "apt-get update failed (try $try of 3)" >&2
        if ((try < 3)); then sleep 20; fi
    done
    # Packages that carry a service (PostgreSQL, slapd, haproxy, Alertmanager,
    # Mosquitto) must not start the machine's own instance: the tests run their own.
    policy=/usr/sbin/policy-rc.d
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy"
        policy_ours=1
        trap 'rm -f "$policy"' EXIT
    fi
    # With one architecture's security index missing, the two halves of a
    # multi-arch library want different versions; the release's own
    # versions then agree.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}" >/dev/null
    [[ -z ${policy_ours:-} ]] || rm -f "$policy"
fi

jobs=${NIVAXEL_JOBS:-$(nproc)}
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs"
cmake --preset windows -DNIVAXEL_PACKER="$PWD/build/bench/tools/packer/nvpack" >/dev/null
cmake --build --preset windows -j "$jobs"
# The same sources for x86_64, for what needs no 32-bit code: uidriver in
# 64-bit prefixes (native where 32-bit code runs under qemu) and the client
# benchmark under Wine, whose figures must not come from emulation.
cmake --preset windows64 -DNIVAXEL_PACKER="$PWD/build/bench/tools/packer/nvpack" >/dev/null
cmake --build --preset windows64 -j "$jobs" --target uidriver NivaxelSetup Nivaxel UninstallNivaxel

# The console's browser tests: playwright-core at the locked version (never a browser download).
(cd tests/browser && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)

mkdir -p dist
for exe in NivaxelSetup Nivaxel UninstallNivaxel; do
    [[ -f build/windows/$exe.exe ]] && cp "build/windows/$exe.exe" dist/
done
# The MSI package, from the client just copied and the custom actions' program.
if [[ -f build/windows/NivaxelMsiAction.exe && -f dist/Nivaxel.exe ]]; then
    msi/build-msi.sh dist/Nivaxel.exe build/windows/NivaxelMsiAction.exe dist/Nivaxel.msi
fi
rm -f dist/alert-server
[[ -f build/bench/server/nivaxel-server ]] && cp build/bench/server/nivaxel-server dist/
echo "dist/:"
ls -l dist | awk 'NR>1 {printf "  %-24s %9d bytes\n", $9, $5}'
