#!/usr/bin/env python3
"""Draws the program's icon (32 x 32 PNG) and logo (40 x 15 BMP).

Our own artwork, drawn from code so that it can be regenerated and reviewed:
a blue disc with a white upward arrow for the icon, a stripe mark in the
company's blue for the logo. Run it in this folder; it rewrites icon.png and
logo.bmp.
"""
import math
import struct
import zlib

BLUE = (0x1f, 0x5f, 0xbf)
LIGHT = (0x6f, 0xa8, 0xff)
WHITE = (0xff, 0xff, 0xff)


def icon_pixels(size=32):
    px = []
    c = (size - 1) / 2.0
    r = size / 2.0 - 1
    for y in range(size):
        row = []
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if d > r + 0.5:
                row.append((0, 0, 0, 0))
                continue
            alpha = 255 if d <= r - 0.5 else int(255 * (r + 0.5 - d))
            # vertical gradient from light to deep blue
            t = y / (size - 1)
            col = tuple(int(LIGHT[i] * (1 - t) + BLUE[i] * t) for i in range(3))
            # arrow: head between rows 6..15, shaft 15..25
            ax = abs(x - c)
            if 6 <= y <= 15 and ax <= (y - 6) * 0.9 + 0.5:
                col = WHITE
            elif 15 < y <= 25 and ax <= 3.0:
                col = WHITE
            row.append(col + (alpha,))
        px.append(row)
    return px


def write_png(path, px):
    h = len(px)
    w = len(px[0])
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in px)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xffffffff)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def logo_pixels(w=40, h=15):
    px = []
    for y in range(h):
        row = []
        for x in range(w):
            col = (0xf0, 0xf0, 0xf0)  # the dialog's face colour
            if 1 <= y <= 13 and 1 <= x <= 13:
                col = BLUE
                # a white chevron inside the square
                if abs((x - 7) - (y - 7) * 0) <= 1 and 3 <= y <= 11:
                    col = WHITE
                if x >= 8 and abs((x - 8) - abs(y - 7)) <= 1 and 3 <= y <= 11:
                    col = WHITE
            elif 16 <= x <= 38 and y in (3, 4, 7, 8, 11, 12):
                # three bars of decreasing length
                length = {3: 22, 4: 22, 7: 16, 8: 16, 11: 10, 12: 10}[y]
                if x - 16 < length:
                    col = BLUE if y != 7 and y != 8 else LIGHT
            row.append(col)
        px.append(row)
    return px


def write_bmp(path, px):
    h = len(px)
    w = len(px[0])
    stride = (w * 3 + 3) & ~3
    data = b""
    for row in reversed(px):  # bottom-up
        line = b"".join(bytes((b, g, r)) for (r, g, b) in row)
        data += line + b"\x00" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


if __name__ == "__main__":
    write_png("icon.png", icon_pixels())
    write_bmp("logo.bmp", logo_pixels())
