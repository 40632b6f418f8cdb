#!/usr/bin/env python3
"""Draws the application icon, a moth seen from above, and writes it as an
.ico with 16, 32 and 48 pixel images (32-bit BGRA with an AND mask).

Usage: make_icon.py OUTPUT.ico

The mark is plain geometry in a unit square (rotated ellipses and thick
segments), sampled 4 x 4 times per pixel so that the edges are smooth at
every size. Same input, same bytes: the build may compare outputs.
"""
import math
import struct
import sys

SIZES = (16, 32, 48)
SUPERSAMPLE = 4

# Colours as (red, green, blue).
WING_EDGE = (120, 62, 20)
FOREWING = (232, 160, 48)
HINDWING = (214, 122, 38)
EYE_SPOT = (70, 40, 20)
BODY = (66, 38, 18)
ANTENNA = (66, 38, 18)


def in_ellipse(x, y, cx, cy, rx, ry, degrees):
    a = math.radians(degrees)
    dx, dy = x - cx, y - cy
    u = dx * math.cos(a) + dy * math.sin(a)
    v = -dx * math.sin(a) + dy * math.cos(a)
    return (u / rx) ** 2 + (v / ry) ** 2 <= 1.0


def near_segment(x, y, x0, y0, x1, y1, half_width):
    vx, vy = x1 - x0, y1 - y0
    t = ((x - x0) * vx + (y - y0) * vy) / (vx * vx + vy * vy)
    t = max(0.0, min(1.0, t))
    px, py = x0 + t * vx, y0 + t * vy
    return (x - px) ** 2 + (y - py) ** 2 <= half_width ** 2


def wing(x, y, cx, cy, rx, ry, degrees, fill, spot):
    """Colour of a wing at (x, y), or None outside it: a dark rim, the fill,
    and on the forewings an eye spot."""
    if not in_ellipse(x, y, cx, cy, rx, ry, degrees):
        return None
    if not in_ellipse(x, y, cx, cy, rx - 0.035, ry - 0.035, degrees):
        return WING_EDGE
    if spot and in_ellipse(x, y, cx, cy, 0.045, 0.045, 0):
        return EYE_SPOT
    return fill


def sample(x, y):
    """Colour of the mark at (x, y) in the unit square (y grows downwards),
    or None where it is transparent. Later shapes lie on top."""
    colour = None
    # Mirror the left half onto the right: the mark is symmetric.
    mx = x if x <= 0.5 else 1.0 - x
    for shape in (
        lambda: wing(mx, y, 0.30, 0.70, 0.17, 0.13, -35, HINDWING, False),
        lambda: wing(mx, y, 0.27, 0.42, 0.25, 0.16, 30, FOREWING, True),
    ):
        c = shape()
        if c is not None:
            colour = c
    if near_segment(mx, y, 0.47, 0.27, 0.30, 0.05, 0.028):
        colour = ANTENNA
    if in_ellipse(x, y, 0.5, 0.55, 0.065, 0.30, 0):
        colour = BODY
    return colour


def render(size):
    """Rows top to bottom of (b, g, r, a) pixels."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(n):
                for sx in range(n):
                    c = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        covered += 1
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                # Straight (not premultiplied) colour, as icons store it.
                row.append((b // covered, g // covered, r // covered, covered * 255 // (n * n)))
        rows.append(row)
    return rows


def icon_image(size):
    """BITMAPINFOHEADER, the BGRA pixels bottom-up, then the AND mask (1 where
    fully transparent), each mask row padded to 32 bits."""
    rows = render(size)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for b, g, r, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def ico(sizes):
    images = [icon_image(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(sys.argv[1], "wb") as f:
        f.write(ico(SIZES))
    return 0


if __name__ == "__main__":
    sys.exit(main())
