#!/usr/bin/env python3
"""Draws the stub's application icon and writes it as a .ico file.

    make-icon.py <out.ico>

The artwork (a white down arrow over a tray on a blue rounded square) is computed here, so the
icon is reproducible from the repository with the Python standard library alone. Images, in
this order: 32x32 and 16x16 at 4 bits per pixel; 64, 48, 32, 24 and 16 at 8 bits per pixel;
256 (PNG), 64, 48, 32, 24 and 16 at 32 bits per pixel. Palette images use the AND mask for
transparency; 32-bit images carry alpha.
"""
import struct
import sys
import zlib

IMAGES = [(32, 4), (16, 4), (64, 8), (48, 8), (32, 8), (24, 8), (16, 8),
          (256, 32), (64, 32), (48, 32), (32, 32), (24, 32), (16, 32)]

BLUE_TOP = (0x2F, 0x7B, 0xE0)
BLUE_BOTTOM = (0x14, 0x46, 0xA8)
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded(u, v, lo, hi, r):
    if u < lo or u > hi or v < lo or v > hi:
        return False
    cu = min(max(u, lo + r), hi - r)
    cv = min(max(v, lo + r), hi - r)
    return (u - cu) ** 2 + (v - cv) ** 2 <= r * r


def sample(u, v):
    """Colour and coverage (0 or 1) of one point of the unit square."""
    if not inside_rounded(u, v, 0.04, 0.96, 0.2):
        return None
    # Arrow: stem and head, pointing down.
    if 0.42 <= u <= 0.58 and 0.16 <= v <= 0.46:
        return WHITE
    if 0.40 <= v <= 0.64 and abs(u - 0.5) <= (0.64 - v) * 1.1:
        return WHITE
    # Tray: bottom bar and two sides.
    if 0.72 <= v <= 0.82 and 0.2 <= u <= 0.8:
        return WHITE
    if 0.56 <= v <= 0.82 and (0.2 <= u <= 0.29 or 0.71 <= u <= 0.8):
        return WHITE
    t = v
    return tuple(int(BLUE_TOP[i] + (BLUE_BOTTOM[i] - BLUE_TOP[i]) * t) for i in range(3))


def render(size):
    """Rows top-down of (r, g, b, a), 3x3 supersampled."""
    n = 3
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    c = sample((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3],
                            acc[3] * 255 // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def palette(bits):
    if bits == 4:
        return [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
                (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
                (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    grays = [(i * 255 // 41,) * 3 for i in range(1, 41)]
    return cube + grays


def nearest(pal, c):
    return min(range(len(pal)), key=lambda i: sum((pal[i][k] - c[k]) ** 2 for k in range(3)))


def mask_rows(rows, size):
    """AND mask rows, bottom-up, 1 = transparent, each padded to 4 bytes."""
    stride = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def bmp_image(rows, size, bits):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         16 if bits == 4 else (256 if bits == 8 else 0), 0)
    body = b""
    if bits == 32:
        for row in reversed(rows):
            body += b"".join(struct.pack("BBBB", p[2], p[1], p[0], p[3]) for p in row)
        return header + body + mask_rows(rows, size)
    pal = palette(bits)
    body += b"".join(struct.pack("BBBB", c[2], c[1], c[0], 0) for c in pal)
    stride = ((size * bits + 31) // 32) * 4
    cache = {}
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            key = p[:3] if p[3] >= 128 else (0, 0, 0)
            if key not in cache:
                cache[key] = nearest(pal, key)
            i = cache[key]
            if bits == 8:
                line[x] = i
            else:
                line[x // 2] |= i << (4 if x % 2 == 0 else 0)
        body += bytes(line)
    return header + body + mask_rows(rows, size)


def png_image(rows, size):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1]
    renders = {}
    images = []
    for size, bits in IMAGES:
        if size not in renders:
            renders[size] = render(size)
        rows = renders[size]
        data = png_image(rows, size) if size == 256 else bmp_image(rows, size, bits)
        images.append((size, bits, data))
    offset = 6 + 16 * len(images)
    head = struct.pack("<HHH", 0, 1, len(images))
    entries = b""
    for size, bits, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0, 1,
                               bits, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(head + entries + b"".join(d for _, _, d in images))


if __name__ == "__main__":
    main()
