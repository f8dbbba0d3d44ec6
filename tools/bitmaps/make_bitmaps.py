#!/usr/bin/env python3
"""Draws the control's two pictures as 4-bit BMP files with the standard
16-colour palette: the toolbox picture (17 x 17) and the design-time face
(32 x 32). Both show a 9-pin serial connector plug with its cable.

    tools/bitmaps/make_bitmaps.py OUTPUT_DIR     (writes toolbox.bmp, face.bmp)

The pictures are pixel maps below, one character per pixel."""
import struct
import sys
from pathlib import Path

PALETTE = [  # (r, g, b), the standard order of the 16-colour palette
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
INDEX = {
    "K": 0,   # black: outlines, cable
    "B": 4,   # dark blue: the connector's insulator
    "y": 3,   # dark yellow: pin shadow
    ".": 7,   # light grey: background
    "D": 8,   # dark grey: shadows, metal edges
    "Y": 11,  # yellow: pins
    "W": 15,  # white: highlights
}

# Toolbox picture: the plug on the light-grey background.
TOOLBOX = """
.................
.DDDDDDDDDDDDDDD.
.DWWWWWWWWWWWWWD.
.DWWKKKKKKKKKWWD.
.DKWKYBYBYBYKWKD.
.DWWWKYBYBYKWWWD.
.DWWWWKKKKKWWWWD.
.DDDDDDDDDDDDDDD.
...KWWWWWWWWWK...
....KDDDDDDDK....
.....KDDDDDK.....
......KKKKK......
.......KKK.......
.......KKK.......
........KKK......
.........KKKK....
...........KKKK..
"""

# Design-time face: a raised light-grey frame (black outline, white upper and
# left edges, dark-grey lower and right edges) holding the plug.
FACE = """
KKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKK
KWWWWWWWWWWWWWWWWWWWWWWWWWWWWWDK
KWWWWWWWWWWWWWWWWWWWWWWWWWWWWDDK
KWW..........................DDK
KWW..........................DDK
KWW.DDDDDDDDDDDDDDDDDDDDDDDD.DDK
KWW.DWWWWWWWWWWWWWWWWWWWWWWD.DDK
KWW.DWWWWKKKKKKKKKKKKKKKWWWD.DDK
KWW.DWKKWKBBYBYBYBYBYBBKWKKD.DDK
KWW.DWKKWKBByByByByByBBKWKKD.DDK
KWW.DWWWWWKBBYBYBYBYBBKWWWWD.DDK
KWW.DWWWWWKBByByByByBBKWWWWD.DDK
KWW.DWWWWWWKBBBBBBBBBKWWWWWD.DDK
KWW.DWWWWWWKKKKKKKKKKKWWWWWD.DDK
KWW.DDDDDDDDDDDDDDDDDDDDDDDD.DDK
KWW.....KWWWWWWWWWWWWWWWK....DDK
KWW.....KWDDDDDDDDDDDDDDK....DDK
KWW......KWDDDDDDDDDDDDK.....DDK
KWW.......KWDDDDDDDDDDK......DDK
KWW........KWDDDDDDDDK.......DDK
KWW.........KKKKKKKKK........DDK
KWW............KKK...........DDK
KWW............KKK...........DDK
KWW............KKK...........DDK
KWW............KKKK..........DDK
KWW.............KKKK.........DDK
KWW..............KKKKKK......DDK
KWW................KKKKKKK...DDK
KWW...................KKKK...DDK
KWDDDDDDDDDDDDDDDDDDDDDDDDDDDDDK
KDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDK
KKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKK
"""


def rows_of(art, size):
    rows = [line for line in art.strip("\n").splitlines()]
    if len(rows) != size or any(len(r) != size for r in rows):
        raise SystemExit(f"picture is not {size} x {size}")
    return [[INDEX[c] for c in r] for r in rows]


def bmp4(rows):
    """A bottom-up 4-bit BITMAPINFOHEADER DIB with the 16-colour palette."""
    height, width = len(rows), len(rows[0])
    stride = ((width * 4 + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, index in enumerate(row):
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += line
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + bytes(pixels)


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    (out / "toolbox.bmp").write_bytes(bmp4(rows_of(TOOLBOX, 17)))
    (out / "face.bmp").write_bytes(bmp4(rows_of(FACE, 32)))


if __name__ == "__main__":
    main()
