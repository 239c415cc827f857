#!/usr/bin/env python3
"""Builds a transform (.mst) that gives the package its properties, for
Group Policy's Modifications tab or msiexec's TRANSFORMS=, on Linux where
no transform editor runs:

    msi/make-transform.py Nivaxel.msi site.mst NOMSERVEUR=srv-alertes PORT=5088

The transform adds rows to the Property table, nothing else. It is written
here byte by byte: a compound file (the storage format of every Windows
Installer file) holding the transform's string pool, its Property rows and
its summary; msitools reads packages but makes no transforms.
"""
import re
import struct
import subprocess
import sys
import uuid

PROPERTIES = ("NOMSERVEUR", "PORT", "CACHEICONE")
CODEPAGE = 1252

# -- compound file --------------------------------------------------------

SECTOR, MINI_SECTOR, MINI_CUTOFF = 512, 64, 4096
FREE, END, FAT_SECTOR, NO_STREAM = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFF
TRANSFORM_CLSID = uuid.UUID("000C1082-0000-0000-C000-000000000046").bytes_le


def _entry(name, kind, start=END, size=0, clsid=bytes(16)):
    raw = name.encode("utf-16-le") + b"\0\0"
    if len(raw) > 64:
        raise ValueError(f"stream name too long: {name!r}")
    return {"name": name, "raw": raw, "kind": kind, "start": start, "size": size, "clsid": clsid,
            "left": NO_STREAM, "right": NO_STREAM, "child": NO_STREAM}


def _tree_key(entry):
    # The directory's order: shorter names first, then by upper-cased code units.
    return (len(entry["raw"]), entry["name"].upper())


def _link_tree(entries, ids):
    """A balanced binary tree of the given directory ids; returns its root."""
    if not ids:
        return NO_STREAM
    middle = len(ids) // 2
    root = ids[middle]
    entries[root]["left"] = _link_tree(entries, ids[:middle])
    entries[root]["right"] = _link_tree(entries, ids[middle + 1:])
    return root


def compound_file(streams, root_clsid):
    """The bytes of a version-3 compound file holding `streams` (name, data),
    each smaller than the mini-stream cut-off."""
    mini, mini_fat, entries = bytearray(), [], [None]
    for name, data in streams:
        if len(data) >= MINI_CUTOFF:
            raise ValueError(f"stream too large for this writer: {name!r}")
        count = -(-len(data) // MINI_SECTOR)
        start = len(mini) // MINI_SECTOR if count else END
        mini_fat += [start + k + 1 for k in range(count - 1)] + ([END] if count else [])
        mini += data.ljust(count * MINI_SECTOR, b"\0")
        entries.append(_entry(name, 2, start, len(data)))

    dir_sectors = -(-len(entries) * 128 // SECTOR)
    mini_fat_sectors = -(-len(mini_fat) * 4 // SECTOR)
    mini_sectors = -(-len(mini) // SECTOR)
    fat_sectors = 1
    while fat_sectors * SECTOR // 4 < fat_sectors + dir_sectors + mini_fat_sectors + mini_sectors:
        fat_sectors += 1
    if fat_sectors > 109:
        raise ValueError("file too large for this writer")

    fat, next_sector = [FAT_SECTOR] * fat_sectors, fat_sectors

    def chain(count):
        nonlocal next_sector
        if not count:
            return END
        first = next_sector
        fat.extend([first + k + 1 for k in range(count - 1)] + [END])
        next_sector += count
        return first

    dir_start = chain(dir_sectors)
    mini_fat_start = chain(mini_fat_sectors)
    mini_start = chain(mini_sectors)
    entries[0] = _entry("Root Entry", 5, mini_start, len(mini), root_clsid)
    entries[0]["child"] = _link_tree(entries, sorted(range(1, len(entries)), key=lambda i: _tree_key(entries[i])))

    header = bytearray(SECTOR)
    struct.pack_into("<8s16sHHHHH6xIIIIIIIII", header, 0, bytes.fromhex("D0CF11E0A1B11AE1"), bytes(16),
                     0x3E, 3, 0xFFFE, 9, 6, 0, fat_sectors, dir_start, 0, MINI_CUTOFF, mini_fat_start,
                     mini_fat_sectors, END, 0)
    struct.pack_into("<109I", header, 76, *(list(range(fat_sectors)) + [FREE] * (109 - fat_sectors)))

    directory = bytearray()
    for e in entries:
        directory += struct.pack("<64sHBBIII16sI16xIII", e["raw"], len(e["raw"]), e["kind"], 1, e["left"],
                                 e["right"], e["child"], e["clsid"], 0, e["start"], e["size"], 0)
    directory = directory.ljust(dir_sectors * SECTOR, b"\0")
    fat_bytes = struct.pack(f"<{len(fat)}I", *fat).ljust(fat_sectors * SECTOR, b"\xff")
    mini_fat_bytes = struct.pack(f"<{len(mini_fat)}I", *mini_fat).ljust(mini_fat_sectors * SECTOR, b"\xff")
    return bytes(header + fat_bytes + directory + mini_fat_bytes + mini.ljust(mini_sectors * SECTOR, b"\0"))


# -- Windows Installer streams ------------------------------------------------

_MIME = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"


def table_stream_name(table):
    """A table's stream name as Windows Installer stores it: two name
    characters per code unit, behind the tables' mark."""
    out, i = ["\u4840"], 0
    while i < len(table):
        first = _MIME.index(table[i])
        if i + 1 < len(table):
            out.append(chr(0x3800 + first + (_MIME.index(table[i + 1]) << 6)))
            i += 2
        else:
            out.append(chr(0x4800 + first))
            i += 1
    return "".join(out)


def property_rows(properties):
    """The transform's string pool and Property stream: one row added per
    property (mask: both columns present)."""
    strings = []
    for name, value in properties:
        strings += [name, value]
    pool = struct.pack("<HH", CODEPAGE, 0)
    data = b""
    for text in strings:
        raw = text.encode("cp1252")
        pool += struct.pack("<HH", len(raw), 1)
        data += raw
    rows = b"".join(struct.pack("<HHH", 0x0201, 2 * k + 1, 2 * k + 2) for k in range(len(properties)))
    return pool, data, rows


def summary_information(product_code, version, upgrade_code):
    """The transform's summary: what it applies to; no validation asked."""
    def text(value):
        raw = value.encode("cp1252") + b"\0"
        return struct.pack("<II", 30, len(raw)) + raw.ljust(-(-len(raw) // 4) * 4, b"\0")
    values = [(1, struct.pack("<Ih2x", 2, CODEPAGE)), (2, text("Transform")), (7, text("Intel;1036")),
              (8, text("Intel;1036")),
              (9, text(f"{product_code}{version};{product_code}{version};{upgrade_code}")),
              (14, struct.pack("<Ii", 3, 200)), (16, struct.pack("<Ii", 3, 0))]
    offset, table, body = 8 + 8 * len(values), b"", b""
    for pid, value in values:
        table += struct.pack("<II", pid, offset + len(body))
        body += value
    section = struct.pack("<II", 8 + len(table) + len(body), len(values)) + table + body
    fmtid = uuid.UUID("F29F85E0-4FF9-1068-AB91-08002B27B3D9").bytes_le
    return struct.pack("<HHI16sI16sI", 0xFFFE, 0, 0x00020006, bytes(16), 1, fmtid, 48) + section


def package_properties(msi):
    out = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, check=True).stdout
    return dict(line.split("\t", 1) for line in out.decode("utf-8").splitlines()[3:] if "\t" in line)


def parse(arguments):
    properties = []
    for argument in arguments:
        match = re.fullmatch(r"([A-Z]+)=(.+)", argument)
        if not match or match.group(1) not in PROPERTIES:
            raise ValueError(f"expected NAME=value with NAME one of {', '.join(PROPERTIES)}: {argument}")
        try:
            match.group(2).encode("cp1252")
        except UnicodeEncodeError:
            raise ValueError(f"not Windows-1252 text: {argument}") from None
        properties.append((match.group(1), match.group(2)))
    if not properties:
        raise ValueError("no property given")
    return properties


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    msi, out = argv[1], argv[2]
    try:
        properties = parse(argv[3:])
    except ValueError as e:
        sys.stderr.write(f"make-transform: {e}\n")
        return 2
    try:
        package = package_properties(msi)
    except (OSError, subprocess.CalledProcessError) as e:
        sys.stderr.write(f"make-transform: cannot read the package's properties ({e})\n")
        return 1
    pool, data, rows = property_rows(properties)
    streams = [(table_stream_name("_StringPool"), pool), (table_stream_name("_StringData"), data),
               (table_stream_name("Property"), rows),
               ("\x05SummaryInformation",
                summary_information(package["ProductCode"], package["ProductVersion"], package["UpgradeCode"]))]
    with open(out, "wb") as f:
        f.write(compound_file(streams, TRANSFORM_CLSID))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
