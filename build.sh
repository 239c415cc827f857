#!/usr/bin/env bash
# Builds everything and leaves the three Windows programs (and the reference
# alert server) in dist/. Run as root on a fresh Debian machine, it first
# installs the Debian packages that are missing.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev zlib1g-dev libasio-dev python3
          g++-mingw-w64-i686-posix libz-mingw-w64-dev
          g++-mingw-w64-x86-64-posix
          wine wine64 xvfb xauth imagemagick x11-utils libx11-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing Debian packages. Run as root, then run ./build.sh again:" >&2
        echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs"
cmake --preset windows -DNIVAXEL_PACKER="$PWD/build/bench/tools/packer/nvpack" >/dev/null
cmake --build --preset windows -j "$jobs"
# The same sources for x86_64: the build that the Wine tests run.
cmake --preset windows64 -DNIVAXEL_PACKER="$PWD/build/bench/tools/packer/nvpack" >/dev/null
cmake --build --preset windows64 -j "$jobs"

mkdir -p dist
for exe in NivaxelSetup Nivaxel UninstallNivaxel; do
    [[ -f build/windows/$exe.exe ]] && cp "build/windows/$exe.exe" dist/
done
[[ -f build/bench/tools/alert-server/alert-server ]] && cp build/bench/tools/alert-server/alert-server dist/
echo "dist/:"
ls -l dist | awk 'NR>1 {printf "  %-24s %9d bytes\n", $9, $5}'
