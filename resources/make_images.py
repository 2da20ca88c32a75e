#!/usr/bin/env python3
"""Draws the window's pictures and writes them as Windows resource files.

    images.bmp       the five 16x16 images of ImageList1 side by side (24-bit;
                     masked pixels are black)
    images_mask.bmp  their transparency mask (1-bit; white = transparent)
    loader.ico       the program icon, 16, 32 and 48 pixels, 16 and 256 colours

Only the standard library is used. Run it after changing a picture:
    python3 resources/make_images.py
"""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------------------
# ImageList1: pixel art, one character per pixel, "." transparent.

COLOURS = {
    "K": (0, 0, 0),
    "W": (255, 255, 255),
    "Y": (255, 224, 32),     # yellow
    "y": (255, 244, 150),    # light yellow
    "O": (224, 112, 0),      # orange
    "o": (176, 80, 0),       # dark orange
    "F": (240, 200, 64),     # folder yellow
    "f": (192, 144, 24),     # folder shadow
    "g": (255, 232, 136),    # folder light
    "B": (0, 0, 128),        # dark blue
    "b": (40, 96, 200),      # blue
    "l": (150, 200, 240),    # light blue
    "L": (200, 228, 252),    # pale blue
    "s": (90, 140, 200),     # door edge blue
    "R": (224, 0, 0),        # red
    "r": (128, 0, 0),        # dark red
    "G": (128, 128, 128),    # grey
    "H": (192, 192, 192),    # light grey
    "D": (64, 64, 64),       # dark grey
}

# 0: lightning bolt, upper right to lower left, orange edges.
BOLT = """
.........OOOOOO.
........OYYYYYO.
........OYyYYO..
.......OYyYYO...
.......OYyYO....
......OYyYYOOOO.
......OYyYYYYYO.
.....OOOOOYYYO..
.........OYYO...
........OYYO....
........OYO.....
.......OYO......
......OYO.......
......OO........
.....OO.........
.....O..........
"""

# 1: open folder with a dark-blue curved arrow over its upper right corner.
FOLDER = """
.........BBB....
........B...B...
........B....B..
...........BBBBB
............BBB.
.ffff........B..
fggggf..........
fgFFFgffffffff..
fgFFFFFFFFFFFf..
fgFFffffffffffff
fgFfgggggggggggf
fgfgFFFFFFFFFFf.
fgfgFFFFFFFFFFf.
ffgFFFFFFFFFFf..
ffgFFFFFFFFFFf..
ffffffffffffff..
"""

# 2: light-blue door from the front, a blue arrow at its right pointing left.
DOOR = """
.ssssssss.......
.sLLLLLLs.......
.sLssssLs.......
.sLsllsLs.......
.sLsllsLs.......
.sLsllsLs...b...
.sLssssLs..bb...
.sLLLLbLs.bbbbbb
.sLLLLbLs.bbbbbb
.sLssssLs..bb...
.sLsllsLs...b...
.sLsllsLs.......
.sLsllsLs.......
.sLssssLs.......
.sLLLLLLs.......
.ssssssss.......
"""

# 3: white stick with pale-blue edges, from the upper left to a red and
#    dark-red block at the lower right.
STICK = """
ll..............
lWl.............
.lWl............
..lWl...........
...lWl..........
....lWl.........
.....lWl........
......lWl.......
.......lWl......
........lWl.....
.........lRRr...
.........RRRRr..
........rRRRRRr.
.........rRRRRrr
..........rRRrr.
...........rrr..
"""

# 4: white page with grey text lines and a dark-blue arrow that runs down and
#    then to the left.
PAGE = """
.GGGGGGGG.......
.GWWWWWWGG......
.GWHHHHWGWG.....
.GWWWWWWGGGG....
.GWHHHHHHWWG.BB.
.GWWWWWWWWWG.BB.
.GWHHHHHHWWG.BB.
.GWWWWWWWWWG.BB.
.GWHHBHHHWWG.BB.
.GWWBBWWWWWG.BB.
.GWBBBBBBBBBBBB.
.GWBBBBBBBBBBBB.
.GWWBBWWWWWG....
.GWHHBHHHWWG....
.GWWWWWWWWWG....
.GGGGGGGGGGG....
"""

IMAGES = [BOLT, FOLDER, DOOR, STICK, PAGE]


def parse(art):
    rows = [r for r in art.strip("\n").split("\n")]
    assert len(rows) == 16, len(rows)
    pixels = []
    for r in rows:
        assert len(r) == 16, repr(r)
        pixels.append([None if c == "." else COLOURS[c] for c in r])
    return pixels


def bmp24(width, height, pixel):
    """pixel(x, y) -> (r, g, b), y from the top."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        rows.append(bytes(row))
    bits = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(bits), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(bits), 0, 0, 14 + len(info))
    return head + info + bits


def mono_rows(width, height, bit):
    """Bottom-up 1-bit rows padded to 4 bytes; bit(x, y) -> 0 or 1."""
    stride = ((width + 31) // 32) * 4
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray(stride)
        for x in range(width):
            if bit(x, y):
                row[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
    return b"".join(rows)


def bmp1(width, height, bit):
    bits = mono_rows(width, height, bit)
    palette = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 1, 0, len(bits), 2835, 2835, 2, 2)
    off = 14 + len(info) + len(palette)
    head = struct.pack("<2sIHHI", b"BM", off + len(bits), 0, 0, off)
    return head + info + palette + bits


def write_image_list():
    images = [parse(a) for a in IMAGES]

    def at(x, y):
        return images[x // 16][y][x % 16]

    colour = bmp24(16 * len(images), 16, lambda x, y: at(x, y) or (0, 0, 0))
    mask = bmp1(16 * len(images), 16, lambda x, y: 1 if at(x, y) is None else 0)
    with open(os.path.join(HERE, "images.bmp"), "wb") as f:
        f.write(colour)
    with open(os.path.join(HERE, "images_mask.bmp"), "wb") as f:
        f.write(mask)


# ---------------------------------------------------------------------------
# Program icon: a grey integrated-circuit chip with pins, seen at an angle.
# Drawn as polygons on a 48-unit canvas and sampled 4x4 per pixel.

BODY_TOP = (128, 128, 134)
BODY_FRONT = (88, 88, 94)
BODY_SIDE = (70, 70, 76)
OUTLINE = (32, 32, 36)
PIN = (216, 216, 222)
PIN_DARK = (150, 150, 158)
NOTCH = (96, 96, 102)
DOT = (184, 184, 190)


def add(p, q, s=1.0):
    return (p[0] + q[0] * s, p[1] + q[1] * s)


def chip_shapes(pins, pin_len):
    """Polygons from the back to the front, each (points, colour)."""
    f1 = (3.0, 25.0)            # front-left corner of the top face
    length = (27.0, 13.0)      # along the long edge (front-left to front-right)
    width = (14.0, -13.0)      # from the front edge to the back edge
    depth = (0.0, 5.0)         # body thickness
    f2 = add(f1, length)
    b1 = add(f1, width)
    b2 = add(f2, width)
    shapes = []
    # Back pins: stubs sticking out of the back edge, under the top face.
    for i in range(pins):
        t0 = (i + 0.5) / pins - 0.07
        t1 = t0 + 0.14
        a = add(b1, length, t0)
        b = add(b1, length, t1)
        out = (width[0] / 6.0, width[1] / 6.0)
        shapes.append(([a, b, add(add(b, out), depth, 0.6), add(add(a, out), depth, 0.6)], PIN_DARK))
    # Body: right side face, front face, then the top face.
    shapes.append(([f2, b2, add(b2, depth), add(f2, depth)], BODY_SIDE))
    shapes.append(([f1, f2, add(f2, depth), add(f1, depth)], BODY_FRONT))
    shapes.append(([f1, f2, b2, b1], BODY_TOP))
    # Front pins: they leave the front face's lower edge and bend down.
    for i in range(pins):
        t0 = (i + 0.5) / pins - 0.07
        t1 = t0 + 0.14
        a = add(add(f1, length, t0), depth, 0.55)
        b = add(add(f1, length, t1), depth, 0.55)
        out = (-width[0] / 8.0, -width[1] / 8.0)
        a2 = add(a, out)
        b2_ = add(b, out)
        shapes.append(([a, b, b2_, a2], PIN))
        shapes.append(([a2, b2_, add(b2_, (0.0, pin_len)), add(a2, (0.0, pin_len))], PIN))
        shapes.append(([b2_, add(b2_, (1.2, 0.6)), add(b2_, (1.2, pin_len + 0.6)), add(b2_, (0.0, pin_len))], PIN_DARK))
    # The notch at the left short edge and the pin-1 dot.
    centre = add(f1, width, 0.5)
    notch = []
    for k in range(13):
        ang = -math.pi / 2 + math.pi * k / 12
        u = math.cos(ang) * 3.2
        v = math.sin(ang) * 3.2
        # u along length, v along width (normalised)
        ln = math.hypot(*length)
        wn = math.hypot(*width)
        notch.append((centre[0] + length[0] / ln * u + width[0] / wn * v,
                      centre[1] + length[1] / ln * u + width[1] / wn * v))
    shapes.append((notch, NOTCH))
    dot_c = add(add(f1, length, 0.22), width, 0.22)
    dot = [(dot_c[0] + 1.7 * math.cos(a * math.pi / 6), dot_c[1] + 1.2 * math.sin(a * math.pi / 6))
           for a in range(12)]
    shapes.append((dot, DOT))
    outline = [f1, add(f1, depth), add(f2, depth), add(b2, depth), b2, b1]
    return shapes, outline


def inside(poly, x, y):
    n = len(poly)
    c = False
    j = n - 1
    for i in range(n):
        xi, yi = poly[i]
        xj, yj = poly[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            c = not c
        j = i
    return c


def seg_dist(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def render_icon(size):
    """Returns rows of (r, g, b) or None (transparent)."""
    # Small sizes get fewer, longer pins so that they still read as pins.
    shapes, outline = chip_shapes(4, 7.0) if size > 16 else chip_shapes(3, 9.0)
    scale = size / 48.0
    n = 4
    line = max(0.6, 1.0 / scale * 0.75)
    out = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    px = (x + (sx + 0.5) / n) / scale
                    py = (y + (sy + 0.5) / n) / scale
                    col = None
                    for poly, c in shapes:
                        if inside(poly, px, py):
                            col = c
                    near = min(seg_dist(px, py, outline[i], outline[(i + 1) % len(outline)])
                               for i in range(len(outline)))
                    if near < line and (col is not None or near < line * 0.5):
                        col = OUTLINE
                    if col is not None:
                        hits += 1
                        for k in range(3):
                            acc[k] += col[k]
            if hits * 2 >= n * n:
                row.append(tuple(int(round(a / hits)) for a in acc))
            else:
                row.append(None)
        out.append(row)
    return silhouette(out)


def silhouette(pixels):
    """Darkens the opaque pixels that touch a transparent one (or the edge),
    so the shape stands out on any background."""
    size = len(pixels)

    def clear(x, y):
        return not (0 <= x < size and 0 <= y < size) or pixels[y][x] is None

    out = [row[:] for row in pixels]
    for y in range(size):
        for x in range(size):
            c = pixels[y][x]
            if c is not None and any(clear(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                out[y][x] = tuple((v + 2 * o) // 3 for v, o in zip(c, OUTLINE))
    return out


VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    pal = list(VGA16)
    for r in range(6):
        for g in range(6):
            for b in range(6):
                pal.append((r * 51, g * 51, b * 51))
    for i in range(24):
        v = 8 + i * 10
        pal.append((v, v, v))
    return pal[:256]


def nearest(pal, c):
    # A grey stays grey: tinted entries would show as coloured specks.
    grey = max(c) - min(c) < 24
    best = 0
    bd = None
    for i, p in enumerate(pal):
        if grey and max(p) - min(p) != 0:
            continue
        d = (p[0] - c[0]) ** 2 * 3 + (p[1] - c[1]) ** 2 * 4 + (p[2] - c[2]) ** 2 * 2
        if bd is None or d < bd:
            bd, best = d, i
    return best


def ico_image(pixels, bpp):
    size = len(pixels)
    pal = VGA16 if bpp == 4 else palette256()
    cache = {}

    def index(c):
        if c is None:
            return 0
        if c not in cache:
            cache[c] = nearest(pal, c)
        return cache[c]

    stride = ((size * bpp + 31) // 32) * 4
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(stride)
        for x in range(size):
            i = index(pixels[y][x])
            if bpp == 8:
                row[x] = i
            else:
                row[x // 2] |= i << (4 if x % 2 == 0 else 0)
        xor += row
    mask = mono_rows(size, size, lambda x, y: 1 if pixels[y][x] is None else 0)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, len(xor) + len(mask), 0, 0,
                       len(pal), 0)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in pal)
    return info + palette + bytes(xor) + mask


def write_icon():
    entries = []
    for size in (16, 32, 48):
        pixels = render_icon(size)
        for bpp in (4, 8):
            entries.append((size, bpp, ico_image(pixels, bpp)))
    head = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    dir_ = b""
    data = b""
    for size, bpp, img in entries:
        dir_ += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bpp == 4 else 0, 0, 1, bpp,
                            len(img), offset + len(data))
        data += img
    with open(os.path.join(HERE, "loader.ico"), "wb") as f:
        f.write(head + dir_ + data)


if __name__ == "__main__":
    write_image_list()
    write_icon()
