#!/usr/bin/env python3
"""Draws the tool's icon and writes it as XPM: 32 x 32 pixels, 16 colours.

The picture: a TovrixPro unit, its display showing an up arrow (the update),
its round UP button below, and the USB plug at its foot.

    app/qt/icon/make_icon.py > app/qt/icon/tovrix_icon.xpm
    app/qt/icon/make_icon.py --ico app/windows/tovrix_icon.ico

The XPM is both the Qt window's icon (compiled in) and the picture for a
desktop entry; the ICO (the same picture, 4 bits a pixel) is the Windows
program's icon and its window's. Run both again after changing the drawing.
"""

import struct
import sys

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


def blank():
    return [["." for _ in range(SIZE)] for _ in range(SIZE)]


def rect(img, x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = c


def rounded(img, x0, y0, x1, y1, r, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            cx = min(max(x, x0 + r), x1 - r)
            cy = min(max(y, y0 + r), y1 - r)
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r + 0.5:
                img[y][x] = c


def disc(img, cx, cy, r, c):
    for y in range(SIZE):
        for x in range(SIZE):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                img[y][x] = c


def draw():
    img = blank()
    # USB plug below the unit.
    rect(img, 12, 27, 19, 31, "k")
    rect(img, 13, 27, 18, 30, "g")
    rect(img, 13, 30, 18, 30, "s")
    # The unit: outline, body, a highlight down its left side.
    rounded(img, 5, 0, 26, 28, 4, "k")
    rounded(img, 6, 1, 25, 27, 3, "b")
    rect(img, 7, 4, 7, 24, "l")
    # The display in its bezel.
    rect(img, 8, 3, 23, 16, "g")
    rect(img, 9, 4, 22, 15, "d")
    # The up arrow on the display.
    for row in range(5):
        rect(img, 15 - row, 6 + row, 16 + row, 6 + row, "a")
    rect(img, 14, 11, 17, 14, "a")
    # The UP button.
    disc(img, 15.5, 21.5, 3.6, "r")
    disc(img, 15.5, 21.5, 2.7, "o")
    img[20][14] = "w"
    return img


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
