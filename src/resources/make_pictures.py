#!/usr/bin/env python3
"""Draws the installer's pictures at build time, or takes a publisher's own in their place.

Writes into OUTDIR:
  main_picture.bmp  297 x 369, 24-bit    picture of the main dialog (bitmap 131)
  banner.bmp        461 x 41, 24-bit     banner of the progress dialog (bitmap 138)
  installer.ico     16..256 px, 32-bit   window and file icon (icon 107)
  pictures.h        a stamp the resource script includes, so it is rebuilt when a picture changes

A replacement given with --main-picture, --banner or --icon is checked (the dialog layouts are
made for these exact sizes) and copied unchanged. Only the Python standard library is used.
"""

import argparse
import hashlib
import math
import os
import shutil
import struct
import sys

MAIN_SIZE = (297, 369)
BANNER_SIZE = (461, 41)
ICON_SIZES = (16, 32, 48, 64, 128, 256)


# --- file formats -------------------------------------------------------------------------

def bmp_bytes(width, height, pixel):
    """24-bit bottom-up BMP; pixel(x, y) gives (r, g, b) with y = 0 at the top."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - width * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return header + info + data


def icon_image_bytes(size, rgba):
    """One 32-bit DIB icon image (colour with alpha, then the AND mask); rgba[y][x] top-down."""
    colour = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            r, g, b, a = rgba[y][x]
            colour += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(size):
            if rgba[y][x][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    return info + bytes(colour) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, image bytes)."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, blob in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return header + entries + blobs


def read_bmp_geometry(data):
    if len(data) < 54 or data[:2] != b"BM":
        raise ValueError("not a BMP file")
    width, height, _planes, bits = struct.unpack_from("<iiHH", data, 18)
    return width, abs(height), bits


def read_ico_sizes(data):
    if len(data) < 6:
        raise ValueError("not an icon file")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1 or count == 0 or len(data) < 6 + 16 * count:
        raise ValueError("not an icon file")
    sizes = []
    for i in range(count):
        w, _h, _c, _r, _p, bits, _length, _offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        sizes.append((w or 256, bits))
    return sizes


# --- drawing helpers ----------------------------------------------------------------------

def mix(a, b, t):
    t = min(1.0, max(0.0, t))
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(len(a)))


def noise(seed):
    """Deterministic pseudo-random numbers in [0, 1)."""
    state = seed & 0xFFFFFFFF
    while True:
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        yield state / 4294967296.0


def ridge(x, width, base, waves):
    """Height of a mountain ridge at column x: a sum of sine waves around a base line."""
    u = x / width
    return base + sum(amplitude * math.sin(2 * math.pi * (frequency * u + phase))
                      for amplitude, frequency, phase in waves)


# --- the three pictures -------------------------------------------------------------------

def draw_main_picture():
    width, height = MAIN_SIZE
    sky_top, sky_mid, sky_low = (18, 24, 64), (64, 58, 128), (236, 150, 120)
    moon_centre, moon_radius = (212, 92), 26
    rng = noise(131)
    stars = {}
    for _ in range(90):
        sx, sy = int(next(rng) * width), int(next(rng) * height * 0.55)
        stars[(sx, sy)] = 150 + int(next(rng) * 105)
    far = [(9, 1.3, 0.1), (5, 3.1, 0.4), (3, 7.0, 0.8)]
    near = [(14, 0.8, 0.6), (6, 2.4, 0.2), (2, 9.0, 0.5)]
    lake_top = int(height * 0.80)

    def sky(y):
        t = y / height
        return mix(sky_top, sky_mid, t / 0.45) if t < 0.45 else mix(sky_mid, sky_low, (t - 0.45) / 0.35)

    def pixel(x, y):
        if y >= lake_top:  # the lake mirrors the sky above the far ridge, darkened and rippled
            depth = y - lake_top
            mirror = max(0, lake_top - depth * 2 - 1)
            shade = mix(sky(mirror), (10, 14, 40), 0.45 + 0.4 * depth / (height - lake_top))
            if (y + int(3 * math.sin(x / 9.0))) % 6 == 0:
                shade = mix(shade, (255, 220, 190), 0.18)
            return shade
        if y > ridge(x, width, height * 0.70, near):
            return mix((22, 26, 52), (12, 14, 30), (y - height * 0.62) / (height * 0.2))
        if y > ridge(x, width, height * 0.60, far):
            return mix((70, 60, 110), (40, 36, 80), (y - height * 0.5) / (height * 0.2))
        dx, dy = x - moon_centre[0], y - moon_centre[1]
        distance = math.hypot(dx, dy)
        if distance <= moon_radius:
            crater = math.hypot(dx + 8, dy - 6) < 6 or math.hypot(dx - 9, dy + 9) < 4
            return (232, 228, 208) if crater else (250, 246, 226)
        colour = sky(y)
        if distance < moon_radius * 3:  # halo
            colour = mix(colour, (250, 246, 226), 0.35 * (1 - distance / (moon_radius * 3)) ** 2)
        if (x, y) in stars:
            colour = mix(colour, (255, 255, 255), stars[(x, y)] / 255.0)
        return colour

    return bmp_bytes(width, height, pixel)


def draw_banner():
    width, height = BANNER_SIZE
    left, right = (28, 36, 88), (120, 96, 170)
    disc_centre, disc_radius = (22, 20), 15

    def pixel(x, y):
        colour = mix(left, right, x / width)
        colour = mix(colour, (255, 255, 255), 0.10 * (1 - y / height))
        if y >= height - 3:  # accent line along the bottom edge
            return mix((236, 150, 120), (250, 210, 150), x / width)
        distance = math.hypot(x - disc_centre[0], y - disc_centre[1])
        if 4 <= distance <= disc_radius:
            angle = math.atan2(y - disc_centre[1], x - disc_centre[0])
            return mix((200, 205, 225), (255, 250, 240), 0.5 + 0.5 * math.sin(3 * angle))
        # a row of fading squares, like progress steps
        step = 12
        if 50 <= x < 50 + step * 30 and 17 <= y < 25 and (x - 50) % step < 8:
            return mix(colour, (255, 255, 255), 0.6 * (1 - (x - 50) / (step * 30)))
        return colour

    return bmp_bytes(width, height, pixel)


def draw_icon(size):
    """A disc with a downward arrow over it, supersampled for smooth edges."""
    samples = 4 if size <= 64 else 2
    centre = size / 2.0
    outer, hole = size * 0.47, size * 0.09

    def sample(fx, fy):
        dx, dy = fx - centre, fy - centre
        distance = math.hypot(dx, dy)
        # arrow: a shaft and a head in the lower right quarter
        ax, ay = (fx / size - 0.68), (fy / size - 0.60)

        def in_arrow(margin):
            in_shaft = abs(ax) < 0.07 + margin and -0.30 - margin < ay < 0.10
            in_head = 0.05 - margin <= ay < 0.30 + margin and abs(ax) < (0.30 + margin - ay) * 0.9
            return in_shaft or in_head

        if in_arrow(0.0):
            return (230, 90, 40, 255)
        if in_arrow(0.04):
            return (255, 255, 255, 255)  # white rim so the arrow reads on the disc
        if hole < distance <= outer:
            angle = math.atan2(dy, dx)
            sheen = 0.5 + 0.5 * math.sin(2 * angle + 0.6)
            base = mix((90, 110, 190), (225, 230, 250), sheen)
            if distance > outer * 0.93:
                base = mix(base, (40, 50, 110), 0.6)
            if distance < hole * 2.2:
                base = mix(base, (250, 250, 255), 0.5)
            return base + (255,)
        return (0, 0, 0, 0)

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            total = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = sample(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            alpha = total[3] // (samples * samples)
            if total[3]:
                row.append((total[0] // total[3], total[1] // total[3], total[2] // total[3], alpha))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return icon_image_bytes(size, rows)


# --- replacements -------------------------------------------------------------------------

def take_bitmap(source, expected, what):
    with open(source, "rb") as handle:
        data = handle.read()
    width, height, bits = read_bmp_geometry(data)
    if (width, height, bits) != (expected[0], expected[1], 24):
        raise ValueError(f"{what} {source}: {width} x {height}, {bits}-bit; "
                         f"the dialog needs {expected[0]} x {expected[1]}, 24-bit")
    return data


def take_icon(source):
    with open(source, "rb") as handle:
        data = handle.read()
    sizes = read_ico_sizes(data)
    missing = [size for size in ICON_SIZES if (size, 32) not in sizes]
    if missing:
        print(f"make_pictures: note: icon {source} lacks 32-bit images of {missing} pixels", file=sys.stderr)
    return data


def write_if_changed(path, data):
    if os.path.exists(path):
        with open(path, "rb") as handle:
            if handle.read() == data:
                return
    with open(path + ".tmp", "wb") as handle:
        handle.write(data)
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("outdir")
    parser.add_argument("--main-picture", default="", help="BMP of 297 x 369 pixels, 24-bit")
    parser.add_argument("--banner", default="", help="BMP of 461 x 41 pixels, 24-bit")
    parser.add_argument("--icon", default="", help="ICO, ideally 16 to 256 pixels, 32-bit")
    options = parser.parse_args()
    os.makedirs(options.outdir, exist_ok=True)
    try:
        main_picture = (take_bitmap(options.main_picture, MAIN_SIZE, "main picture")
                        if options.main_picture else draw_main_picture())
        banner = take_bitmap(options.banner, BANNER_SIZE, "banner") if options.banner else draw_banner()
        icon = take_icon(options.icon) if options.icon else ico_bytes([(s, draw_icon(s)) for s in ICON_SIZES])
    except (OSError, ValueError) as error:
        print(f"make_pictures: {error}", file=sys.stderr)
        return 1
    outputs = {"main_picture.bmp": main_picture, "banner.bmp": banner, "installer.ico": icon}
    digest = hashlib.sha256()
    for name, data in outputs.items():
        write_if_changed(os.path.join(options.outdir, name), data)
        digest.update(data)
    stamp = f"// Generated with the pictures; changes whenever one of them does.\n// {digest.hexdigest()}\n"
    write_if_changed(os.path.join(options.outdir, "pictures.h"), stamp.encode())
    return 0


if __name__ == "__main__":
    sys.exit(main())
