#!/usr/bin/env python3
"""Draws the product icon and writes it as a Windows .ico file.

The artwork (a blue tile, a white tray and an orange arrow going into it) is
described by shapes in unit coordinates and rendered at every size the
installer's icon group carries: 16, 24, 32 and 48 pixels at 16 colours,
256 colours and 32-bit colour, and 72 pixels at 32-bit colour. The 32-bit
images are stored as PNG, as icons may be since Windows Vista (the oldest
system the installer runs on): a third of their size as bitmaps at 16
pixels, a fifteenth at 72.

Usage: make_icon.py OUTPUT.ico [PREVIEW.ppm]
"""

import math
import struct
import sys
import zlib

SUPERSAMPLE = 4

PALETTED_SIZES = (16, 24, 32, 48)
TRUECOLOR_ONLY_SIZES = (72,)
# 32-bit images of at least this many pixels square are stored as PNG.
PNG_FROM = 16

# The 16 colours of the standard Windows palette.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette256():
    """A 6x6x6 colour cube, 24 greys and a few tones of the artwork."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(i * 255 // 23,) * 3 for i in range(24)]
    colours += [(14, 107, 168), (10, 77, 122), (245, 166, 35), (200, 120, 20)]
    colours += [(0, 0, 0)] * (256 - len(colours))
    return colours


def rounded_rect_distance(x, y, x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segment_distance(x, y, ax, ay, bx, by):
    px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
    t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - vx * t, py - vy * t)


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


TRAY = [(0.22, 0.56), (0.22, 0.80), (0.78, 0.80), (0.78, 0.56)]
ARROW_HEAD = ((0.27, 0.44), (0.73, 0.44), (0.50, 0.70))


def sample(x, y):
    """Colour (r, g, b) and coverage (0 or 1) of the artwork at a unit point."""
    if rounded_rect_distance(x, y, 0.04, 0.04, 0.96, 0.96, 0.2) > 0:
        return (0, 0, 0), 0.0
    # Tile: a vertical gradient from light to deep blue.
    t = (y - 0.04) / 0.92
    colour = (int(30 - 20 * t), int(130 - 60 * t), int(200 - 80 * t))
    # Tray: a thick white U.
    for a, b in zip(TRAY, TRAY[1:]):
        if segment_distance(x, y, a[0], a[1], b[0], b[1]) < 0.045:
            colour = (250, 250, 250)
    # Arrow: an orange shaft and head going into the tray.
    if (0.43 <= x <= 0.57 and 0.14 <= y <= 0.46) or inside_triangle(x, y, *ARROW_HEAD):
        colour = (245, 166, 35)
    return colour, 1.0


def render(size):
    """Rows (top first) of (r, g, b, a) pixels, antialiased by supersampling."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    (cr, cg, cb), cov = sample((px + (sx + 0.5) / n) / size,
                                               (py + (sy + 0.5) / n) / size)
                    r += cr * cov
                    g += cg * cov
                    b += cb * cov
                    a += cov
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def and_mask(rows, size):
    """1-bit mask rows, bottom-up, each padded to 4 bytes: 1 = transparent."""
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def dib(rows, size, bits):
    """A BITMAPINFOHEADER image as stored in an .ico entry."""
    if bits == 32:
        palette = []
        stride = size * 4
    else:
        palette = VGA16 if bits == 4 else palette256()
        stride = ((size * bits + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         len(palette), 0)
    data = bytearray(header)
    for r, g, b in palette:
        data += bytes((b, g, r, 0))
    cache = {}
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            if bits == 32:
                line[x * 4:x * 4 + 4] = bytes((b, g, r, a))
                continue
            index = 0
            if a >= 128:
                key = (r, g, b)
                if key not in cache:
                    cache[key] = nearest(palette, key)
                index = cache[key]
            if bits == 8:
                line[x] = index
            else:
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        data += line
    data += and_mask(rows, size)
    return bytes(data)


def png(rows, size):
    """An RGBA PNG of `rows`, each row filtered the way that packs best."""
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    raw = bytearray()
    previous = bytes(size * 4)
    for row in rows:
        line = bytes(c for pixel in row for c in pixel)
        sub = bytes((line[i] - (line[i - 4] if i >= 4 else 0)) & 0xff for i in range(len(line)))
        up = bytes((line[i] - previous[i]) & 0xff for i in range(len(line)))
        # The usual rule of thumb: the smallest sum of the bytes as signed.
        cost = lambda b: sum(min(x, 256 - x) for x in b)
        kind, data = min(((0, line), (1, sub), (2, up)), key=lambda choice: cost(choice[1]))
        raw += bytes((kind,)) + data
        previous = line
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def image(rows, size, bits):
    return png(rows, size) if bits == 32 and size >= PNG_FROM else dib(rows, size, bits)


def build_icon():
    images = []
    for size in PALETTED_SIZES:
        rows = render(size)
        for bits in (4, 8, 32):
            images.append((size, bits, image(rows, size, bits)))
    for size in TRUECOLOR_ONLY_SIZES:
        images.append((size, 32, image(render(size), size, 32)))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colours = 16 if bits == 4 else 0
        out += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def write_preview(path, size=72):
    """A PPM of the largest image over grey, for looking at the artwork."""
    rows = render(size)
    with open(path, 'wb') as f:
        f.write(b'P6 %d %d 255\n' % (size, size))
        for row in rows:
            for r, g, b, a in row:
                f.write(bytes(round((c * a + 160 * (255 - a)) / 255) for c in (r, g, b)))


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], 'wb') as f:
        f.write(build_icon())
    if len(argv) == 3:
        write_preview(argv[2])
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
