#!/usr/bin/env python3
"""Draws the tray monitor's three icons and writes them as .ico files beside this script.

    monitor.ico        the program file's icon: a padlock in front of a folder,
                       16x16 at 256 colours and 32x32 at 16 colours
    logged_in.ico      16x16 at 16 colours: a dark figure with a yellow key on opaque cyan
    not_logged_in.ico  16x16 at 16 colours: the same figure with a grey key on transparent

Only the standard library is used. Change a picture here and run the script again
(python3 QLOPGPMonitor/icons/draw_icons.py); the build uses the committed .ico files.
"""

import os
import struct

# The 16 colours of the standard Windows palette, as (red, green, blue).
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, OLIVE, NAVY, SILVER, GREY, YELLOW, CYAN, WHITE = 0, 3, 4, 7, 8, 11, 14, 15

# The 256-colour palette: the 16 standard colours, then a few warm and cool shades for the
# small program icon, the rest black.
EXTRA = [
    (255, 214, 90), (230, 170, 40), (160, 110, 20),     # folder: light, middle, dark amber
    (220, 220, 228), (150, 150, 165), (90, 90, 105),    # shackle: light, middle, dark steel
    (250, 200, 60), (200, 140, 20), (120, 80, 10),      # lock body: light, middle, dark gold
]
PALETTE_256 = VGA + EXTRA + [(0, 0, 0)] * (256 - len(VGA) - len(EXTRA))
AMBER_LIGHT, AMBER, AMBER_DARK, STEEL_LIGHT, STEEL, STEEL_DARK, GOLD_LIGHT, GOLD, GOLD_DARK = range(16, 25)

TRANSPARENT = None


class Canvas:
    """A square of palette indices; TRANSPARENT where the background shows through."""

    def __init__(self, size, fill=TRANSPARENT):
        self.size = size
        self.pixels = [[fill] * size for _ in range(size)]

    def put(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        """Fills the rectangle with corners (x0, y0) and (x1, y1), both included."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            self.put(x, y0, colour)
            self.put(x, y1, colour)
        for y in range(y0, y1 + 1):
            self.put(x0, y, colour)
            self.put(x1, y, colour)

    def paint(self, rows, colours):
        """Paints a character map: each character names a colour in `colours`; others are skipped."""
        for y, row in enumerate(rows):
            for x, ch in enumerate(row):
                if ch in colours:
                    self.put(x, y, colours[ch])


# The figure: a head and shoulders, and a key held before the chest (ring left, bit to the right).
FIGURE = [
    "................",
    "......DDDD......",
    ".....DDDDDD.....",
    ".....DDDDDD.....",
    ".....DDDDDD.....",
    ".....DDDDDD.....",
    "......DDDD......",
    ".......DD.......",
    "....DDDDDDDD....",
    "...DDDDDDDDDD...",
    "..DDDDDDDDDDDD..",
    "..DDDDDDDDDDDD..",
    ".DDDDDDDDDDDDDD.",
    ".DDDDDDDDDDDDDD.",
    ".DDDDDDDDDDDDDD.",
    ".DDDDDDDDDDDDDD.",
]
KEY = [
    "................",
    "................",
    "................",
    "................",
    "................",
    "................",
    "................",
    "................",
    "................",
    "....KKK.........",
    "...KeeeK........",
    "...Ke.eKKKKKKKK.",
    "...KeeeKeeeeKeK.",
    "....KKK.....K.K.",
    "................",
    "................",
]


def figure_icon(background, key, key_edge):
    canvas = Canvas(16, background)
    canvas.paint(FIGURE, {"D": NAVY})
    canvas.paint(KEY, {"K": key_edge, "e": key})
    return canvas


def padlock_and_folder(size, amber_light, amber, amber_dark, steel_light, steel, steel_dark,
                       gold_light, gold, gold_dark, hole):
    """A folder across the back and a padlock standing in front of its lower right part."""
    s = size / 32.0

    def p(v):
        return int(round(v * s))

    canvas = Canvas(size)
    # Folder: the tab, then the body with a lighter front flap.
    canvas.rect(p(1), p(5), p(11), p(8), amber)
    canvas.frame(p(1), p(5), p(11), p(8), amber_dark)
    canvas.rect(p(1), p(8), p(27), p(25), amber)
    canvas.rect(p(2), p(11), p(26), p(24), amber_light)
    canvas.frame(p(1), p(8), p(27), p(25), amber_dark)
    # Padlock shackle: a thick arch above the body.
    cx, cy = p(22), p(17)
    outer, inner = p(7), p(4)
    for y in range(size):
        for x in range(size):
            dx, dy = x - cx + 0.5, y - cy + 0.5
            d2 = dx * dx + dy * dy
            if dy <= 0 and inner * inner <= d2 <= outer * outer:
                canvas.put(x, y, steel if d2 > (inner + 1) ** 2 else steel_light)
    for y in range(cy, p(20)):
        for x in list(range(cx - outer, cx - inner)) + list(range(cx + inner, cx + outer)):
            canvas.put(x, y, steel)
    canvas.put(cx - outer, cy - 1, steel_dark)
    canvas.put(cx + outer - 1, cy - 1, steel_dark)
    # Padlock body with a keyhole.
    x0, y0, x1, y1 = cx - p(9), p(19), cx + p(9) - 1, p(31)
    canvas.rect(x0, y0, x1, y1, gold)
    canvas.rect(x0 + 1, y0 + 1, x1 - 1, y0 + max(1, p(3)), gold_light)
    canvas.frame(x0, y0, x1, y1, gold_dark)
    kx = (x0 + x1) // 2
    canvas.rect(kx - max(1, p(1.5)) + 1, p(23), kx + max(0, p(1.5) - 1), p(25), hole)
    canvas.rect(kx, p(25), kx, p(28), hole)
    return canvas


def image_bytes(canvas, bits, palette):
    """One icon image: a BITMAPINFOHEADER, the palette, the colour rows and the transparency mask."""
    size = canvas.size
    colours = 1 << bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette[:colours])

    def padded(row):
        return row + b"\0" * (-len(row) % 4)

    colour_rows, mask_rows = [], []
    for y in reversed(range(size)):  # bottom-up, as in every bitmap
        indices = [0 if c is TRANSPARENT else c for c in canvas.pixels[y]]
        if bits == 8:
            row = bytes(indices)
        else:
            row = bytes((indices[x] << 4) | indices[x + 1] for x in range(0, size, 2))
        colour_rows.append(padded(row))
        mask = bytearray((size + 7) // 8)
        for x, c in enumerate(canvas.pixels[y]):
            if c is TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(padded(bytes(mask)))
    for c in (c for row in canvas.pixels for c in row):
        assert c is TRANSPARENT or c < colours, "colour outside the palette"
    return header + table + b"".join(colour_rows) + b"".join(mask_rows)


def write_ico(path, images):
    """`images`: (canvas, bits, palette) for each image of the icon group."""
    blobs = [image_bytes(c, bits, pal) for (c, bits, pal) in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (canvas, bits, _), blob in zip(images, blobs):
        size = canvas.size
        count = (1 << bits) if bits < 8 else 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, count, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, "logged_in.ico"), [(figure_icon(CYAN, YELLOW, OLIVE), 4, VGA)])
    write_ico(os.path.join(here, "not_logged_in.ico"), [(figure_icon(TRANSPARENT, SILVER, GREY), 4, VGA)])
    small = padlock_and_folder(16, AMBER_LIGHT, AMBER, AMBER_DARK, STEEL_LIGHT, STEEL, STEEL_DARK,
                               GOLD_LIGHT, GOLD, GOLD_DARK, BLACK)
    large = padlock_and_folder(32, YELLOW, YELLOW, OLIVE, WHITE, SILVER, GREY,
                               YELLOW, YELLOW, OLIVE, BLACK)
    write_ico(os.path.join(here, "monitor.ico"), [(small, 8, PALETTE_256), (large, 4, VGA)])


if __name__ == "__main__":
    main()
