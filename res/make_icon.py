#!/usr/bin/env python3
"""Draws the stub's icon (resource 101): one 32 x 32 image in the 16 colours
that every Windows display has, written as corvane.ico.

An open box with an arrow rising out of it: files coming out of an archive.
Run it again after a change and commit both this script and the .ico.
"""
import struct
import sys

# The standard 16-colour palette, in the order of its indices.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, OLIVE, NAVY, GRAY, SILVER, YELLOW, BLUE, WHITE, CYAN = 0, 3, 4, 8, 7, 11, 12, 15, 14
CLEAR = None
SIZE = 32


def polygon(canvas, points, colour):
    """Fills the pixels whose centres lie inside the polygon (even-odd)."""
    for y in range(SIZE):
        for x in range(SIZE):
            px, py = x + 0.5, y + 0.5
            inside = False
            for i in range(len(points)):
                (x1, y1), (x2, y2) = points[i], points[i - 1]
                if (y1 > py) != (y2 > py) and px < x1 + (py - y1) * (x2 - x1) / (y2 - y1):
                    inside = not inside
            if inside:
                canvas[y][x] = colour


def line(canvas, x1, y1, x2, y2, colour):
    steps = max(abs(x2 - x1), abs(y2 - y1))
    for i in range(steps + 1):
        x = x1 + (x2 - x1) * i // steps if steps else x1
        y = y1 + (y2 - y1) * i // steps if steps else y1
        canvas[y][x] = colour


def outline(canvas, points, colour):
    for i in range(len(points)):
        (x1, y1), (x2, y2) = points[i - 1], points[i]
        line(canvas, x1, y1, x2, y2, colour)


def draw():
    c = [[CLEAR] * SIZE for _ in range(SIZE)]
    # Back to front: the inside seen through the open top, the back flap,
    # the arrow rising out of the box, then the box's front, side and left
    # flap, which hide the arrow's lower end.
    inside = [(3, 16), (10, 11), (28, 11), (21, 16)]
    back_flap = [(10, 11), (28, 11), (24, 5), (7, 5)]
    arrow = [(12, 20), (12, 9), (8, 9), (15, 1), (22, 9), (18, 9), (18, 20)]
    front = [(3, 16), (21, 16), (21, 30), (3, 30)]
    side = [(21, 16), (28, 11), (28, 25), (21, 30)]
    left_flap = [(3, 16), (10, 11), (5, 7), (0, 12)]
    polygon(c, inside, GRAY)
    polygon(c, back_flap, OLIVE)
    outline(c, back_flap, BLACK)
    polygon(c, arrow, BLUE)
    line(c, 13, 17, 13, 9, CYAN)
    line(c, 14, 3, 10, 8, CYAN)
    outline(c, arrow, NAVY)
    for shape, colour in ((front, YELLOW), (side, OLIVE), (left_flap, YELLOW)):
        polygon(c, shape, colour)
        outline(c, shape, BLACK)
    line(c, 4, 17, 20, 17, WHITE)  # a highlight along the front edge
    return c


def ico(canvas):
    xor_rows, and_rows = [], []
    for y in reversed(range(SIZE)):  # DIBs are stored bottom-up
        row = canvas[y]
        xor = bytearray()
        for x in range(0, SIZE, 2):
            hi, lo = row[x] or 0, row[x + 1] or 0
            xor.append(hi << 4 | lo)
        mask = 0
        for x in range(SIZE):
            mask = mask << 1 | (row[x] is CLEAR)
        xor_rows.append(bytes(xor))
        and_rows.append(struct.pack(">I", mask))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(b"".join(xor_rows)) + len(b"".join(and_rows)), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + b"".join(xor_rows) + b"".join(and_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "corvane.ico"
    with open(out, "wb") as f:
        f.write(ico(draw()))
