#!/usr/bin/env python3
"""The launcher's icon: an open carton with an arrow rising out of it.

The artwork is a handful of filled, outlined polygons on a 16-unit grid;
every size snaps the scaled corners to whole pixels, so edges stay crisp
(only the arrow head's slopes are smoothed).  This script
renders it at every size and colour depth the icon group carries and
writes the .ico file itself, because the palettized 16- and 256-colour
images must be plain BMP images with a palette and an AND mask, which is
easy to get exactly right by hand and awkward to coax out of other tools.

    artwork.py OUTPUT.ico [--png DIR]

--png also writes each rendering as a PNG (enlarged 8x) for a quick look.
Python standard library only; the output is the same on every run.
"""

import os
import struct
import sys
import zlib

# Colours, (red, green, blue).
OUTLINE = (0x5A, 0x38, 0x10)
CARTON = (0xD6, 0x9E, 0x52)
FLAP = (0xEE, 0xC8, 0x8C)
OPENING = (0x6E, 0x44, 0x14)
ARROW = (0x2F, 0x9E, 0x3A)
ARROW_OUTLINE = (0x14, 0x55, 0x1C)

# Shapes from back to front: (points on the 16-unit grid, fill, outline).
SHAPES = [
    # The carton's opening, seen slightly from above.
    ([(2, 7), (14, 7), (14, 10), (2, 10)], OPENING, OUTLINE),
    # The two side flaps, folded outwards.
    ([(2, 8), (0, 4), (3, 4), (5, 8)], FLAP, OUTLINE),
    ([(14, 8), (16, 4), (13, 4), (11, 8)], FLAP, OUTLINE),
    # The arrow, rising out of the opening.
    ([(6, 11), (6, 6), (3, 6), (8, 1), (13, 6), (10, 6), (10, 11)],
     ARROW, ARROW_OUTLINE),
    # The carton's front, in front of the arrow's foot.
    ([(2, 9), (14, 9), (14, 15), (2, 15)], CARTON, OUTLINE),
]

GRID = 16
SAMPLES = 6  # samples per pixel along each axis


def _inside(x, y, points):
    """Even-odd rule: does the point lie within the polygon?"""
    inside = False
    n = len(points)
    for i in range(n):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % n]
        if (y1 > y) != (y2 > y):
            if x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                inside = not inside
    return inside


def _edge_distance(x, y, points):
    """Distance from the point to the polygon's nearest edge."""
    best = None
    n = len(points)
    for i in range(n):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % n]
        dx, dy = x2 - x1, y2 - y1
        t = ((x - x1) * dx + (y - y1) * dy) / float(dx * dx + dy * dy)
        t = max(0.0, min(1.0, t))
        ex, ey = x1 + t * dx - x, y1 + t * dy - y
        d = (ex * ex + ey * ey) ** 0.5
        if best is None or d < best:
            best = d
    return best


def _sample(x, y, shapes, stroke):
    """The colour at one point, or None where nothing is drawn."""
    for points, fill, outline in reversed(shapes):
        if _inside(x, y, points):
            return outline if _edge_distance(x, y, points) < stroke else fill
    return None


def render(size):
    """Renders the artwork at SIZE x SIZE pixels.

    Returns rows (top first) of pixels, each pixel the list of the colours
    of its SAMPLES x SAMPLES sample points (None for uncovered points).
    """
    scale = size / GRID
    # round() sends halves to even, which keeps the 24x24 image symmetric.
    shapes = [([(round(px * scale), round(py * scale)) for px, py in points],
               fill, outline)
              for points, fill, outline in SHAPES]
    stroke = 2.0 if size >= 48 else 1.0
    rows = []
    for row in range(size):
        pixels = []
        for col in range(size):
            samples = []
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = col + (sx + 0.5) / SAMPLES
                    y = row + (sy + 0.5) / SAMPLES
                    samples.append(_sample(x, y, shapes, stroke))
            pixels.append(samples)
        rows.append(pixels)
    return rows


def smooth(rows):
    """RGBA pixels: the mean colour of the covered samples, alpha by coverage."""
    out = []
    for pixels in rows:
        line = []
        for samples in pixels:
            covered = [s for s in samples if s is not None]
            if not covered:
                line.append((0, 0, 0, 0))
                continue
            n = len(covered)
            r = sum(c[0] for c in covered)
            g = sum(c[1] for c in covered)
            b = sum(c[2] for c in covered)
            line.append(((r + n // 2) // n, (g + n // 2) // n, (b + n // 2) // n,
                         (255 * n + len(samples) // 2) // len(samples)))
        out.append(line)
    return out


def hard(rows):
    """Pixels in the artwork's own colours: each takes its most frequent
    sample (None: transparent).  Ties go to the shape drawn on top."""
    out = []
    for pixels in rows:
        line = []
        for samples in pixels:
            counts = {}
            for s in samples:
                counts[s] = counts.get(s, 0) + 1
            best = None
            for s in samples:   # sample order breaks ties deterministically
                if best is None or counts[s] > counts[best]:
                    best = s
            line.append(best)
        out.append(line)
    return out


def opaque(pixels):
    """Thresholds smoothed RGBA pixels: an RGB colour, or None (transparent)."""
    return [[(r, g, b) if a >= 128 else None for r, g, b, a in line]
            for line in pixels]


def median_cut(colours, count):
    """Reduces a list of distinct colours to at most COUNT representatives.

    Returns the palette and a dict mapping each input colour to its index."""
    boxes = [sorted(colours)]
    while len(boxes) < count:
        # Split the box with the widest channel range.
        best, axis, width = None, 0, -1
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                w = max(c[ch] for c in box) - min(c[ch] for c in box)
                if w > width:
                    best, axis, width = i, ch, w
        if best is None:
            break
        box = sorted(boxes[best], key=lambda c: (c[axis], c))
        half = len(box) // 2
        boxes[best:best + 1] = [box[:half], box[half:]]
    palette, index = [], {}
    for box in boxes:
        n = len(box)
        mean = tuple((sum(c[ch] for c in box) + n // 2) // n for ch in range(3))
        for c in box:
            index[c] = len(palette)
        palette.append(mean)
    return palette, index


def palettize(pixels, colours):
    """Index image for a palette of COLOURS entries.

    Entry 0 is black and is what transparent pixels hold, so that the
    XOR image leaves the screen unchanged where the AND mask lets it
    through.  Returns (palette, index rows)."""
    used = sorted({p for line in pixels for p in line if p is not None})
    if len(used) <= colours - 1:
        palette, index = list(used), {c: i for i, c in enumerate(used)}
    else:
        palette, index = median_cut(used, colours - 1)
    palette = [(0, 0, 0)] + palette
    palette += [(0, 0, 0)] * (colours - len(palette))
    indices = [[0 if p is None else index[p] + 1 for p in line]
               for line in pixels]
    return palette, indices


def _and_mask(transparent):
    """The 1-bit AND mask, bottom row first, rows padded to 4 bytes."""
    size = len(transparent)
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for line in reversed(transparent):
        row = bytearray(stride)
        for x, t in enumerate(line):
            if t:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib(size, bits, pixels):
    """One icon image: BITMAPINFOHEADER, palette, XOR image, AND mask.

    PIXELS are RGBA tuples for 32 bits, RGB-or-None for 24 bits, and
    (palette, index rows) for 4 and 8 bits."""
    header_palette = b""
    xor = bytearray()
    stride = (size * bits + 31) // 32 * 4
    if bits in (4, 8):
        palette, indices = pixels
        header_palette = b"".join(struct.pack("<BBBB", b, g, r, 0)
                                  for r, g, b in palette)
        transparent = [[i == 0 for i in line] for line in indices]
        for line in reversed(indices):
            row = bytearray(stride)
            for x, i in enumerate(line):
                if bits == 8:
                    row[x] = i
                else:
                    row[x // 2] |= i << (4 if x % 2 == 0 else 0)
            xor += row
    elif bits == 24:
        transparent = [[p is None for p in line] for line in pixels]
        for line in reversed(pixels):
            row = bytearray(stride)
            for x, p in enumerate(line):
                if p is not None:
                    row[3 * x:3 * x + 3] = bytes((p[2], p[1], p[0]))
            xor += row
    elif bits == 32:
        transparent = [[p[3] == 0 for p in line] for line in pixels]
        for line in reversed(pixels):
            for r, g, b, a in line:
                xor += bytes((b, g, r, a))
    else:
        raise ValueError("unsupported bit count %d" % bits)
    mask = _and_mask(transparent)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + header_palette + bytes(xor) + mask


# The icon group's images, in group order: (size, bits per pixel).
IMAGES = [(48, 4), (32, 4), (24, 4), (16, 4),
          (48, 8), (32, 8), (24, 8), (16, 8),
          (48, 24), (32, 24),
          (48, 32), (32, 32), (24, 32), (16, 32)]


def images():
    """Every image of the group: [(size, bits, rgba preview, dib bytes)]."""
    renders = {size: render(size) for size in sorted({s for s, _ in IMAGES})}
    out = []
    for size, bits in IMAGES:
        if bits == 4:
            pixels = hard(renders[size])
            data = palettize(pixels, 16)
        elif bits == 8:
            pixels = opaque(smooth(renders[size]))
            data = palettize(pixels, 256)
        elif bits == 24:
            pixels = data = opaque(smooth(renders[size]))
        else:
            pixels = data = smooth(renders[size])
        if bits in (4, 8):
            palette, indices = data
            preview = [[(0, 0, 0, 0) if i == 0 else palette[i] + (255,)
                        for i in line] for line in indices]
            if any(p == (0, 0, 0) for line in pixels for p in line):
                raise ValueError("black in the artwork would be transparent")
        elif bits == 24:
            preview = [[(0, 0, 0, 0) if p is None else p + (255,)
                        for p in line] for line in pixels]
        else:
            preview = pixels
        out.append((size, bits, preview, dib(size, bits, data)))
    return out


def ico(entries):
    """The .ico file: ICONDIR, one ICONDIRENTRY per image, then the images."""
    head = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory, body = b"", b""
    for size, bits, _, data in entries:
        colours = 1 << bits if bits < 8 else 0
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours,
                                 0, 1, bits, len(data), offset + len(body))
        body += data
    return head + directory + body


def png(path, pixels, zoom):
    """Writes RGBA PIXELS as a PNG, each pixel as a ZOOM x ZOOM block."""
    raw = bytearray()
    for line in pixels:
        row = b"".join(bytes(p) * zoom for p in line)
        for _ in range(zoom):
            raw += b"\0" + row
    size = len(pixels) * zoom

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--png"):
        sys.stderr.write("usage: artwork.py OUTPUT.ico [--png DIR]\n")
        return 2
    entries = images()
    with open(argv[1], "wb") as f:
        f.write(ico(entries))
    if len(argv) == 4:
        os.makedirs(argv[3], exist_ok=True)
        for size, bits, preview, _ in entries:
            png(os.path.join(argv[3], "icon-%d-%dbpp.png" % (size, bits)),
                preview, 8)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
