#!/usr/bin/env bash
# Makes sure this machine runs 32-bit (i386) Linux programs, which Wine's
# 32-bit half is, and prints how: "native" (the kernel runs them) or "qemu"
# (binfmt_misc hands them to qemu-i386-static). Where the kernel lacks i386
# support it registers qemu, which needs root and binfmt_misc; otherwise it
# says why it cannot and ends with code 1. Safe to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
qemu=/usr/bin/qemu-i386-static
binfmt=/proc/sys/fs/binfmt_misc
# qemu's own magic and mask for i386 ELF executables.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
magic_hex=7f454c4601010100000000000000000002000300

fail() { echo "enable-i386: $*" >&2; exit 1; }

# The smallest i386 program: exit(42) through int 0x80. Nothing on this
# machine need ship a 32-bit binary for the check to work.
probe=$root/build/i386-probe
make_probe() {
    mkdir -p "$(dirname "$probe")"
    python3 - "$probe" <<'EOF'
import struct, sys
code = bytes.fromhex("b801000000" "31db" "b32a" "cd80")
base, size = 0x08048000, 52 + 32 + len(code)
ehdr = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
phdr = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
open(sys.argv[1], "wb").write(ehdr + phdr + code)
EOF
    chmod +x "$probe"
}
runs_i386() { local rc=0; "$probe" 2>/dev/null || rc=$?; [[ $rc -eq 42 ]]; }

# An enabled binfmt_misc entry for i386 ELF is tried before the kernel's own
# loader, so where one exists it is what runs 32-bit programs.
qemu_entry() {
    [[ -f $binfmt/status ]] || return 1
    local f
    for f in "$binfmt"/*; do
        [[ -f $f && $(basename "$f") != status && $(basename "$f") != register ]] || continue
        grep -qx enabled "$f" && grep -q "^magic $magic_hex" "$f" && return 0
    done
    return 1
}

[[ -x $probe ]] || make_probe
if qemu_entry; then
    runs_i386 || fail "an i386 binfmt_misc entry exists but the i386 probe does not run (see $binfmt)"
    echo qemu
    exit 0
fi
if runs_i386; then
    echo native
    exit 0
fi

# Neither: register qemu for i386.
[[ -x $qemu ]] || fail "this kernel runs no 32-bit code and $qemu is missing (apt-get install qemu-user-static)"
[[ $(id -u) -eq 0 ]] || fail "this kernel runs no 32-bit code; registering qemu in binfmt_misc needs root: sudo $0"
if [[ ! -f $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        fail "this kernel runs no 32-bit code and binfmt_misc cannot be mounted at $binfmt"
fi
if [[ -f $binfmt/qemu-i386 ]]; then
    echo 1 >"$binfmt/qemu-i386"   # registered before, then disabled
    runs_i386 && { echo qemu; exit 0; }
    echo -1 >"$binfmt/qemu-i386"
fi
# F: the kernel opens qemu now, so that it also works inside chroots and
# for programs started by Wine from any mount.
printf ':qemu-i386:M::%s:%s:%s:F\n' "$magic" "$mask" "$qemu" >"$binfmt/register" 2>/dev/null ||
    fail "could not register $qemu in $binfmt/register"
runs_i386 || fail "qemu is registered for i386 but the probe still does not run"
echo qemu
