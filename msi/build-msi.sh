#!/usr/bin/env bash
# Builds the MSI package from the i686 client and the custom-action program:
#   msi/build-msi.sh CLIENT_EXE ACTION_EXE OUT.msi [VERSION]
# Reproducible: every code is derived from the version and the inputs, and
# the package's time stamps come from SOURCE_DATE_EPOCH (the last commit's
# time when unset), so the same commit gives the same bytes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
client=$1 action=$2 out=$3
version=${4:-$(cat "$here/version.txt")}
: "${SOURCE_DATE_EPOCH:=$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)}"
export SOURCE_DATE_EPOCH

read -r product package < <(python3 - "$version" "$client" "$action" "$here/Nivaxel.wxs" <<'PY'
import hashlib, sys, uuid
ns = uuid.UUID("1ADAD9EE-E636-5246-A6F6-1C96BED79180")
version, *inputs = sys.argv[1:]
digest = hashlib.sha256(version.encode())
for path in inputs:
    digest.update(open(path, "rb").read())
print(str(uuid.uuid5(ns, "product/" + version)).upper(),
      str(uuid.uuid5(ns, "package/" + digest.hexdigest())).upper())
PY
)

out=$(realpath "$out")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# wixl takes the files' paths relative to where it runs (absolute ones fail).
cp "$client" "$tmp/Nivaxel.exe"
cp "$action" "$tmp/NivaxelMsiAction.exe"
# The cabinet records each file's time.
touch -d "@$SOURCE_DATE_EPOCH" "$tmp/Nivaxel.exe" "$tmp/NivaxelMsiAction.exe"
cd "$tmp"
wixl -a x86 -D Version="$version" -D ProductCode="$product" -D PackageCode="$package" \
     -D ClientExe=Nivaxel.exe -D ActionExe=NivaxelMsiAction.exe -o out.msi "$here/Nivaxel.wxs" 2>wixl.err ||
    { cat wixl.err >&2; exit 1; }
grep -v 'g_object_set_is_valid_property\|^$' wixl.err >&2 || true

# What wixl cannot say: the numbers' checks (a text that is no integer is
# never >= 0 for Windows Installer), error actions that stop the install
# with their message; the optional values' component conditions (true on
# removal too, or Windows Installer leaves the value behind), and the
# settings key removed whole with the package, as the uninstaller does;
# the vendor folder removed when empty (wixl ignores RemoveFolder's Directory); and
# the earlier version removed before this one installs (after
# InstallValidate): wixl places it after InstallFinalize, where the old
# package's close handshake would end the client this one just started.
a_grave=$(printf '\xc3\xa0') # the queries are UTF-8, the package Windows-1252
# The action program (Binary table), type 2: /VERIFIE whose failure stops
# the install (once costing has set INSTALLDIR; its trailing backslash
# would escape the closing quote, hence "\."); /FERME before
# InstallValidate looks for files in use, its result ignored (+64);
# /ADOPTE and /NETTOIE deferred (+1024), as the system (+2048).
action_rows=(
    "('CheckInstall', 2, 'ActionProgram', '/VERIFIE \"[NOMSERVEUR]\" \"[INSTALLDIR].\"')"
    "('CloseClient', 66, 'ActionProgram', '/FERME')"
    "('AdoptSetupRoute', 3138, 'ActionProgram', '/ADOPTE')"
    "('RemoveVendorFolder', 3138, 'ActionProgram', '/NETTOIE')"
)
sequence_rows=(
    "('CheckInstall', 'NOMSERVEUR AND NOT REMOVE~=\"ALL\"', 1005)"
    "('CloseClient', '', 1399)"
    "('AdoptSetupRoute', 'NOT REMOVE~=\"ALL\"', 4001)"
    "('RemoveVendorFolder', 'REMOVE~=\"ALL\"', 3501)"
)
queries=()
for row in "${action_rows[@]}"; do
    queries+=(-q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES $row")
done
for row in "${sequence_rows[@]}"; do
    queries+=(-q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES $row")
done
msibuild out.msi "${queries[@]}" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'VALEUR_PORT OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'Port'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'VALEUR_CACHEICONE OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'CacheIcone'" \
    -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1401 WHERE \`Action\` = 'RemoveExistingProducts'" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Target\`) VALUES ('BadPort', 19, 'PORT invalide (un nombre de 0 $a_grave 2147483647 est attendu) : [PORT]')" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Target\`) VALUES ('BadCache', 19, 'CACHEICONE invalide (un nombre est attendu) : [CACHEICONE]')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('BadPort', 'PORT AND NOT (PORT >= 0) AND NOT REMOVE~=\"ALL\"', 101)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('BadCache', 'CACHEICONE AND NOT (CACHEICONE >= 0) AND NOT REMOVE~=\"ALL\"', 102)" \
    -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`DirProperty\`, \`InstallMode\`) VALUES ('VendorFolder', 'Client', 'MeridaleFolder', 2)" \
    -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('SettingsTree', 2, 'SOFTWARE\\Korlen\\VESKA\\Nivaxel', '-', 'Settings')"
# wixl draws the revision code at random and stamps the summary with the
# time of the build: both are fixed here.
msibuild out.msi -s Nivaxel MERIDALE "Intel;1036" "{$package}"
python3 - out.msi "$SOURCE_DATE_EPOCH" <<'PY'
import struct, sys, time
path, epoch = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, "rb").read())
def filetime(seconds): return (seconds + 11644473600) * 10**7
now, fixed, found = time.time(), filetime(epoch), 0
# The summary's two VT_FILETIME properties (type 0x40): the only ones near now.
i = data.find(b"\x40\x00\x00\x00")
while i != -1 and i + 12 <= len(data):
    (value,) = struct.unpack_from("<Q", data, i + 4)
    if abs(value - filetime(int(now))) < 3 * 86400 * 10**7:
        struct.pack_into("<Q", data, i + 4, fixed)
        found += 1
    i = data.find(b"\x40\x00\x00\x00", i + 1)
if found != 2:
    sys.exit(f"build-msi: {found} time stamps found in the summary, 2 expected")
open(path, "wb").write(data)
PY
mv out.msi "$out"
