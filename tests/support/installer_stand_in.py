#!/usr/bin/env python3
"""Writes two small stand-ins for installer.exe, for the mkdisc tests whose discs are too small for
the real program: a 32-bit (i386) Windows GUI program file whose resources hold dialog templates
under the ids of the installer's dialogs (read from resource_ids.h), and the same file with those
resources as string tables instead of dialogs. Neither runs; mkdisc only reads them.
    installer_stand_in.py <resource_ids.h> <stand-in.exe> <stand-in without dialogs.exe>"""
import re
import struct
import sys

SECTION_RVA, ALIGN = 0x1000, 0x200
RT_DIALOG, RT_STRING, LANG_JAPANESE = 5, 6, 1041


def resources(kind, ids):
    """The .rsrc section: root (one type), the type's folder, one folder per id, data entries, data."""
    ids = sorted(ids)
    type_at = 16 + 8
    names_at = type_at + 16 + 8 * len(ids)
    entries_at = names_at + 24 * len(ids)
    data_at = entries_at + 16 * len(ids)
    template = b"\0" * 32
    out = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", kind, 0x80000000 | type_at)
    out += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(ids))
    out += b"".join(struct.pack("<II", i, 0x80000000 | (names_at + 24 * n)) for n, i in enumerate(ids))
    for n in range(len(ids)):
        out += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", LANG_JAPANESE, entries_at + 16 * n)
    for n in range(len(ids)):
        out += struct.pack("<IIII", SECTION_RVA + data_at + 32 * n, len(template), 0, 0)
    return out + template * len(ids)


def program(section):
    raw = section + b"\0" * (-len(section) % ALIGN)
    dos = b"MZ" + b"\0" * 0x3A + struct.pack("<I", 0x40)
    file_header = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 2, 0, 0, len(raw), 0, 0, 0, 0, 0x400000,
                           0x1000, ALIGN, 4, 0, 0, 0, 4, 0, 0, SECTION_RVA + 0x1000, ALIGN, 0, 2, 0,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    directories = [(0, 0)] * 16
    directories[2] = (SECTION_RVA, len(section))
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    header = struct.pack("<8sIIIIIIHHI", b".rsrc", len(section), SECTION_RVA, len(raw), ALIGN, 0, 0, 0, 0,
                         0x40000040)
    head = dos + b"PE\0\0" + file_header + optional + header
    return head + b"\0" * (ALIGN - len(head)) + raw


ids = [int(n) for n in re.findall(r"#define IDD_\w+\s+(\d+)", open(sys.argv[1]).read())]
for path, kind in ((sys.argv[2], RT_DIALOG), (sys.argv[3], RT_STRING)):
    with open(path, "wb") as f:
        f.write(program(resources(kind, ids)))
