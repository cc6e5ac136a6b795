#!/usr/bin/env python3
"""Reads the path tables of an ISO 9660 image, for each of its trees (ISO 9660 and Joliet), the way
Windows' CD-ROM file system finds folders, and checks them against the directory records:
the little-endian and the big-endian table hold the same entries; each entry names a folder of
the tree with its extent and the number of its parent's entry; the entries come by level, then
by parent number, then by name (ECMA-119 9.4.3). Exits 1 with one line per fault.
    iso_path_tables.py <image>
"""
import struct
import sys

SECTOR = 2048


def sector(image, number):
    return image[number * SECTOR:(number + 1) * SECTOR]


def descriptors(image):
    """The primary (ISO 9660) and the Joliet supplementary volume descriptors."""
    number = 16
    while True:
        block = sector(image, number)
        if len(block) < SECTOR or block[1:6] != b"CD001":
            raise ValueError("sector %d is no volume descriptor" % number)
        if block[0] == 255:
            return
        if block[0] == 1:
            yield "ISO 9660", block, 1
        elif block[0] == 2 and block[88:91] in (b"%/@", b"%/C", b"%/E"):
            yield "Joliet", block, 2
        number += 1


def both_endian(block, offset, width):
    little = int.from_bytes(block[offset:offset + width], "little")
    big = int.from_bytes(block[offset + width:offset + 2 * width], "big")
    return little, big


def folders(image, root_record):
    """Every folder of the tree: (identifier, parent path, path, extent), breadth first."""
    extent = struct.unpack_from("<I", root_record, 2)[0]
    size = struct.unpack_from("<I", root_record, 10)[0]
    found = [(b"\0", None, (), extent)]
    waiting = [((), extent, size)]
    while waiting:
        path, extent, size = waiting.pop(0)
        data = image[extent * SECTOR:extent * SECTOR + size]
        at = 0
        while at < len(data):
            length = data[at]
            if length == 0:  # records never cross a sector: the rest of this one is empty
                at = (at // SECTOR + 1) * SECTOR
                continue
            record = data[at:at + length]
            name = record[33:33 + record[32]]
            if record[25] & 2 and name not in (b"\0", b"\1"):
                child_extent = struct.unpack_from("<I", record, 2)[0]
                found.append((name, path, path + (name,), child_extent))
                waiting.append((path + (name,), child_extent, struct.unpack_from("<I", record, 10)[0]))
            at += length
    return found


def read_table(image, location, size, order):
    """The entries of one path table: (identifier, extent, parent number)."""
    data = image[location * SECTOR:location * SECTOR + size]
    entries, at = [], 0
    while at < size:
        length = data[at]
        if length == 0:
            raise ValueError("an entry without identifier at byte %d" % at)
        extent, parent = struct.unpack_from(order + "IH", data, at + 2)
        entries.append((bytes(data[at + 8:at + 8 + length]), extent, parent))
        at += 8 + length + (length & 1)
    if at != size:
        raise ValueError("entries of %d bytes in a table of %d" % (at, size))
    return entries


def padded(name, unit):
    """The identifier as ECMA-119 compares it: the shorter one padded with blanks."""
    return name + (b"\0 " if unit == 2 else b" ") * 128


def check(image, tree, block, unit):
    faults = []
    size, size_big = both_endian(block, 132, 4)
    if size != size_big:
        faults.append("%s: path table size %d little-endian, %d big-endian" % (tree, size, size_big))
    little_at = struct.unpack_from("<I", block, 140)[0]
    big_at = struct.unpack_from(">I", block, 148)[0]
    little = read_table(image, little_at, size, "<")
    big = read_table(image, big_at, size, ">")
    if little != big:
        faults.append("%s: the big-endian table differs from the little-endian one" % tree)
    expected = folders(image, block[156:190])
    if len(little) != len(expected):
        faults.append("%s: %d path table entries for %d folders" % (tree, len(little), len(expected)))
    numbers = {}  # folder path -> entry number
    levels = {(): 1}
    previous = None
    by_path = {path: (parent, extent) for _, parent, path, extent in expected}
    for number, (name, extent, parent) in enumerate(little, 1):
        if number == 1:
            path = ()
            if name != b"\0" or parent != 1:
                faults.append("%s: the first entry is not the root" % tree)
        else:
            parents = [p for p, n in numbers.items() if n == parent]
            if not parents:
                faults.append("%s: entry %d names parent %d, no earlier entry" % (tree, number, parent))
                continue
            path = parents[0] + (name,)
        numbers[path] = number
        if path not in by_path:
            faults.append("%s: entry %d (%r) is no folder of the tree" % (tree, number, name))
            continue
        if by_path[path][1] != extent:
            faults.append("%s: entry %d (%r) at extent %d, its folder at %d" % (tree, number, name, extent,
                                                                              by_path[path][1]))
        level = len(path) + 1
        key = (level, parent, padded(name, unit))
        if previous is not None and key <= previous:
            faults.append("%s: entry %d (%r) out of order (level, parent, name)" % (tree, number, name))
        previous = key
    missing = set(by_path) - set(numbers)
    if missing:
        faults.append("%s: %d folders without an entry, e.g. %r" % (tree, len(missing), sorted(missing)[0]))
    return faults


def main():
    with open(sys.argv[1], "rb") as f:
        image = f.read()
    faults, trees = [], 0
    for tree, block, unit in descriptors(image):
        trees += 1
        try:
            faults += check(image, tree, block, unit)
        except (ValueError, struct.error) as error:
            faults.append("%s: %s" % (tree, error))
    if trees != 2:
        faults.append("%d trees with path tables, expected ISO 9660 and Joliet" % trees)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
