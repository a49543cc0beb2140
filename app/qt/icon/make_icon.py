#!/usr/bin/env python3
"""Draws the tool's icon and writes it as XPM: 32 x 32 pixels, 16 colours.

The picture: a TovrixPro unit, its display showing an up arrow (the update),
its round UP button below, and the USB plug at its foot.

    app/qt/icon/make_icon.py > app/qt/icon/tovrix_icon.xpm
    app/qt/icon/make_icon.py --ico app/windows/tovrix_icon.ico
    app/qt/icon/make_icon.py --png SIZE FILE
    app/qt/icon/make_icon.py --svg FILE
    app/qt/icon/make_icon.py --desktop-icons packaging/icons

The XPM is both the Qt window's icon (compiled in) and the picture for a
desktop entry; the ICO (the same picture, 4 bits a pixel) is the Windows
program's icon and its window's. Run both again after changing the drawing.

The desktop's icons (packaging/icons, the hicolor theme's layout) are the
same shapes: at 32 x 32 the very pixels of the XPM, at other sizes drawn
smooth (each pixel the mean of 4 x 4 samples), and as SVG. --desktop-icons
writes them all.
"""

import math
import os
import struct
import sys
import zlib

SIZE = 32

# One character per colour; "." is transparent. At most 16 colours.
PALETTE = {
    ".": "None",
    "k": "#101418",  # outline
    "b": "#23406E",  # body
    "l": "#3A66A8",  # body highlight
    "g": "#9AA4B0",  # bezel, plug
    "w": "#F4F6F8",  # shine
    "d": "#0C3326",  # display
    "a": "#43E37E",  # arrow
    "o": "#F28C28",  # UP button
    "r": "#A8501A",  # button ring
    "s": "#5C6670",  # plug shadow
}


# The shapes, on the 32 x 32 grid. As pixels, a shape covers the pixels
# whose integer coordinates pass its test; as a smooth shape, it covers the
# area around those pixels' centres (pixel x spans x .. x + 1).
class Rect:
    def __init__(self, x0, y0, x1, y1, c):
        self.x0, self.y0, self.x1, self.y1, self.c = x0, y0, x1, y1, c

    def pixel(self, x, y):
        return self.x0 <= x <= self.x1 and self.y0 <= y <= self.y1

    def covers(self, u, v):
        return self.x0 <= u < self.x1 + 1 and self.y0 <= v < self.y1 + 1

    def svg(self):
        return (f'<rect x="{self.x0}" y="{self.y0}" width="{self.x1 - self.x0 + 1}" '
                f'height="{self.y1 - self.y0 + 1}" fill="{PALETTE[self.c]}"/>')


class Rounded(Rect):
    def __init__(self, x0, y0, x1, y1, r, c):
        super().__init__(x0, y0, x1, y1, c)
        self.r = r

    def pixel(self, x, y):
        if not super().pixel(x, y):
            return False
        cx = min(max(x, self.x0 + self.r), self.x1 - self.r)
        cy = min(max(y, self.y0 + self.r), self.y1 - self.r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= self.r * self.r + 0.5

    def covers(self, u, v):
        if not super().covers(u, v):
            return False
        r = self.r + 0.5
        cx = min(max(u, self.x0 + r), self.x1 + 1 - r)
        cy = min(max(v, self.y0 + r), self.y1 + 1 - r)
        return (u - cx) ** 2 + (v - cy) ** 2 <= r * r

    def svg(self):
        return super().svg().replace("<rect ", f'<rect rx="{self.r + 0.5}" ')


class Disc:
    def __init__(self, cx, cy, r, c):
        self.cx, self.cy, self.r, self.c = cx, cy, r, c

    def pixel(self, x, y):
        return (x - self.cx) ** 2 + (y - self.cy) ** 2 <= self.r * self.r

    def covers(self, u, v):
        return self.pixel(u - 0.5, v - 0.5)

    def svg(self):
        return f'<circle cx="{self.cx + 0.5}" cy="{self.cy + 0.5}" r="{self.r}" fill="{PALETTE[self.c]}"/>'


class ArrowHead:
    """Rows of pixels widening by one on each side, from 2 pixels at (x, y)
    and (x + 1, y) down; smooth, the triangle that they step along."""

    def __init__(self, x, y, rows, c):
        self.x, self.y, self.rows, self.c = x, y, rows, c

    def pixel(self, x, y):
        row = y - self.y
        return 0 <= row < self.rows and self.x - row <= x <= self.x + 1 + row

    def corners(self):
        mid = self.x + 1
        return [(mid, self.y - 0.5), (mid + self.rows + 0.5, self.y + self.rows),
                (mid - self.rows - 0.5, self.y + self.rows)]

    def covers(self, u, v):
        (ax, ay), (bx, by), (cx, cy) = self.corners()
        if not ay <= v < by:
            return False
        half = (v - ay) * (bx - ax) / (by - ay)
        return ax - half <= u < ax + half

    def svg(self):
        points = " ".join(f"{x},{y}" for x, y in self.corners())
        return f'<polygon points="{points}" fill="{PALETTE[self.c]}"/>'


def shapes():
    """The picture, back to front."""
    return [
        # USB plug below the unit.
        Rect(12, 27, 19, 31, "k"),
        Rect(13, 27, 18, 30, "g"),
        Rect(13, 30, 18, 30, "s"),
        # The unit: outline, body, a highlight down its left side.
        Rounded(5, 0, 26, 28, 4, "k"),
        Rounded(6, 1, 25, 27, 3, "b"),
        Rect(7, 4, 7, 24, "l"),
        # The display in its bezel.
        Rect(8, 3, 23, 16, "g"),
        Rect(9, 4, 22, 15, "d"),
        # The up arrow on the display.
        ArrowHead(15, 6, 5, "a"),
        Rect(14, 11, 17, 14, "a"),
        # The UP button, with its shine.
        Disc(15.5, 21.5, 3.6, "r"),
        Disc(15.5, 21.5, 2.7, "o"),
        Rect(14, 20, 14, 20, "w"),
    ]


def draw():
    """The 32 x 32 pixels: one palette character each."""
    img = [["." for _ in range(SIZE)] for _ in range(SIZE)]
    for shape in shapes():
        for y in range(SIZE):
            for x in range(SIZE):
                if shape.pixel(x, y):
                    img[y][x] = shape.c
    return img


def rgba(c):
    rgb = PALETTE[c]
    if rgb == "None":
        return (0, 0, 0, 0)
    return (int(rgb[1:3], 16), int(rgb[3:5], 16), int(rgb[5:7], 16), 255)


def render(size):
    """size x size RGBA rows: the pixels of draw() at 32, else the smooth
    shapes, each pixel the mean of 4 x 4 samples."""
    if size == SIZE:
        return [[rgba(c) for c in row] for row in draw()]
    n = 4
    scale = SIZE / size
    drawing = shapes()
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    u = (px + (sx + 0.5) / n) * scale
                    v = (py + (sy + 0.5) / n) * scale
                    colour = "."
                    for shape in drawing:
                        if shape.covers(u, v):
                            colour = shape.c
                    cr, cg, cb, ca = rgba(colour)
                    r, g, b, a = r + cr * ca, g + cg * ca, b + cb * ca, a + ca
            # Colour weighted by coverage, so that edges do not darken.
            row.append((round(r / a), round(g / a), round(b / a), round(a / (n * n))) if a else (0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    """RGBA rows as a PNG file."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def svg():
    body = "\n".join("  " + shape.svg() for shape in shapes())
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" '
            f'viewBox="0 0 {SIZE} {SIZE}">\n'
            "  <title>TovrixPro Update</title>\n"
            f"{body}\n</svg>\n")


# The sizes of the desktop's icons, and their name (the application's ID).
DESKTOP_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
DESKTOP_NAME = "com.olvane.TovrixProUpdate"


def desktop_icons(root):
    for size in DESKTOP_SIZES:
        folder = os.path.join(root, "hicolor", f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, DESKTOP_NAME + ".png"), "wb") as out:
            out.write(png(render(size)))
    folder = os.path.join(root, "hicolor", "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, DESKTOP_NAME + ".svg"), "w") as out:
        out.write(svg())


def ico(img):
    """The picture as a Windows icon file: one 32 x 32 image, 16 colours.

    The image is a DIB without its file header: the BITMAPINFOHEADER (its
    height counts the colour and the mask rows), 16 palette entries, the
    colour rows at 4 bits a pixel and the transparency mask at 1 bit, both
    bottom row first, each row padded to 4 bytes. Transparent pixels are
    colour 0 (black) with their mask bit set."""
    used = sorted({c for row in img for c in row} - {"."})
    colours = ["."] + used
    assert len(colours) <= 16, "an icon of at most 16 colours"
    index = {c: i for i, c in enumerate(colours)}
    palette = b""
    for c in colours + ["."] * (16 - len(colours)):
        rgb = PALETTE[c]
        r, g, b = (0, 0, 0) if rgb == "None" else (int(rgb[1:3], 16), int(rgb[3:5], 16), int(rgb[5:7], 16))
        palette += bytes([b, g, r, 0])
    pixels = b""
    mask = b""
    for row in reversed(img):
        line = [index[c] for c in row]
        pixels += bytes((line[x] << 4) | line[x + 1] for x in range(0, SIZE, 2))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c == "." else 0)
        mask += bits.to_bytes(SIZE // 8, "big")
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(pixels) + len(mask), 0, 0, 16, 0)
    image = header + palette + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    img = draw()
    if len(sys.argv) == 3 and sys.argv[1] == "--ico":
        with open(sys.argv[2], "wb") as out:
            out.write(ico(img))
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--png":
        with open(sys.argv[3], "wb") as out:
            out.write(png(render(int(sys.argv[2]))))
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--svg":
        with open(sys.argv[2], "w") as out:
            out.write(svg())
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--desktop-icons":
        desktop_icons(sys.argv[2])
        return
    if len(sys.argv) != 1:
        sys.exit(__doc__)
    used = sorted({c for row in img for c in row})
    assert len(used) <= 16, "an icon of at most 16 colours"
    print("/* XPM */")
    print("/* The TovrixPro Update icon, made by make_icon.py. */")
    print("static const char* const tovrix_icon_xpm[] = {")
    print(f'"{SIZE} {SIZE} {len(used)} 1",')
    for c in used:
        print(f'"{c} c {PALETTE[c]}",')
    for i, row in enumerate(img):
        end = "," if i < SIZE - 1 else ""
        print(f'"{"".join(row)}"{end}')
    print("};")


if __name__ == "__main__":
    main()
