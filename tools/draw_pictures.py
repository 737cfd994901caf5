#!/usr/bin/env python3
"""Draws the library's pictures (a certificate sheet with a seal, and the dialog icon) as BMP and
ICO files under resources/pictures/. Run again after changing a drawing and commit the files."""
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "pictures")


def certificate(size):
    """RGBA rows, top row first: a white sheet with lines of text and a red seal with ribbons."""
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    s = size / 16.0
    left, right, top, bottom = int(1 * s), int(15 * s) - 1, int(2 * s), int(13 * s) - 1
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            edge = x in (left, right) or y in (top, bottom)
            px[y][x] = (40, 70, 130, 255) if edge else (250, 250, 245, 255)
    for row in (4, 6, 8):
        y = int(row * s)
        for x in range(int(3 * s), int(12 * s)):
            px[y][x] = (90, 110, 160, 255)
    cx, cy, r = 11.5 * s, 10.5 * s, 2.6 * s
    for y in range(size):
        for x in range(size):
            d = ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2) ** 0.5
            if d <= r:
                px[y][x] = (200, 30, 40, 255) if d < r - 0.9 * s else (150, 20, 30, 255)
            elif cy + r - s <= y + 0.5 <= cy + r + 2.5 * s and abs(abs(x + 0.5 - cx) - 1.2 * s) < 0.6 * s:
                px[y][x] = (200, 30, 40, 255)
    return px


def prompt(size):
    """The dialog icon: the certificate over a blue rounded square."""
    px = certificate(size)
    out = []
    for y, row in enumerate(px):
        line = []
        for x, p in enumerate(row):
            corner = min(x, size - 1 - x) + min(y, size - 1 - y) < size // 8
            line.append(p if p[3] else ((0, 0, 0, 0) if corner else (60, 120, 200, 255)))
        out.append(line)
    return out


def bmp(px, background=(255, 255, 255)):
    """24-bit BMP (bottom-up rows padded to 4 bytes); transparency becomes the background."""
    h, w = len(px), len(px[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(px):
        for r, g, b, a in row:
            data += bytes((b, g, r)) if a else bytes(background[::-1])
        data += b"\0" * (stride - w * 3)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return header + info + bytes(data)


def ico(images):
    """ICO of 32-bit images (BGRA XOR bitmap and an AND mask per image)."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for px in images:
        h, w = len(px), len(px[0])
        xor = bytearray()
        for row in reversed(px):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
        mask_stride = ((w + 31) // 32) * 4
        mask = bytearray()
        for row in reversed(px):
            bits = bytearray(mask_stride)
            for x, p in enumerate(row):
                if p[3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        blob = info + bytes(xor) + bytes(mask)
        entries.append(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def main():
    os.makedirs(OUT, exist_ok=True)
    files = {
        "XX_BMP_DEROVARAZCERTIFICATESELECTORCERTIFICATE.bmp": bmp(certificate(16)),
        "XX_BMP_DEROVARAZCERTIFICATESELECTORPROMPT.bmp": bmp(prompt(32)),
        "XX_ICO_DEROVARAZCERTIFICATESELECTORPROMPT.ico": ico([prompt(16), prompt(32), prompt(48)]),
    }
    for name, data in files.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        print(name, len(data), "bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
