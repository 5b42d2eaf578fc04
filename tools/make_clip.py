#!/usr/bin/env python3
"""Writes a raw yuv420p test clip whose frames tell themselves apart.

Each frame shows its own number in large digits, over a diagonal gradient
that drifts from frame to frame, a white bar that sweeps across the
picture, and a tint that changes, so that a cut can be checked by eye with
ffplay.  The first bytes of the Y plane spell the frame's number too, so
that a cut that is off by one frame never matches byte for byte, however
long the clip.

    make_clip.py OUTPUT FRAMES [--width W --height H]

The end-to-end tests import frame() and write_frames() from here.
"""

import argparse
import os
import sys

DEFAULT_WIDTH = 1920
DEFAULT_HEIGHT = 1080


def frame_size(width, height):
    return width * height * 3 // 2


# Digits of five by seven cells, a row of cells to a string.
FONT = {
    "0": ("01110", "10001", "10011", "10101", "11001", "10001", "01110"),
    "1": ("00100", "01100", "00100", "00100", "00100", "00100", "01110"),
    "2": ("01110", "10001", "00001", "00010", "00100", "01000", "11111"),
    "3": ("11110", "00001", "00001", "01110", "00001", "00001", "11110"),
    "4": ("00010", "00110", "01010", "10010", "11111", "00010", "00010"),
    "5": ("11111", "10000", "11110", "00001", "00001", "10001", "01110"),
    "6": ("00110", "01000", "10000", "11110", "10001", "10001", "01110"),
    "7": ("11111", "00001", "00010", "00100", "01000", "01000", "01000"),
    "8": ("01110", "10001", "10001", "01110", "10001", "10001", "01110"),
    "9": ("01110", "10001", "10001", "01111", "00001", "00010", "01100"),
}
INK, PAPER = b"\xeb", b"\x10"  # the white and black of video levels


def draw_number(luma, number, width, height):
    """Draws `number` in large white digits on a black box, in the Y plane
    `luma`, below its first row (which holds the stamp)."""
    text = str(number)
    cells = 6 * len(text) + 1  # a blank cell between digits and around
    scale = min(height // 16, width // (2 * cells))
    if scale < 1:
        return
    left, top = scale * 2, max(height // 8, 1)
    for row in range(-1, 8):
        line = PAPER * scale
        for digit in text:
            shape = FONT[digit][row] if 0 <= row < 7 else "00000"
            line += b"".join(INK * scale if cell == "1" else PAPER * scale
                             for cell in shape + "0")
        for y in range(top + (row + 1) * scale, top + (row + 2) * scale):
            at = y * width + left
            luma[at:at + len(line)] = line


def frame(number, width=DEFAULT_WIDTH, height=DEFAULT_HEIGHT):
    """The bytes of frame `number`: Y plane, then U, then V."""
    gradient = bytes(i & 0xFF for i in range(width + 256))
    bar_width = max(width // 16, 1)
    bar = (number * width // 30) % width
    white = b"\xeb" * min(bar_width, width - bar)
    rows = []
    for y in range(height):
        row = gradient[(y + 4 * number) % 256:][:width]
        rows.append(row[:bar] + white + row[bar + len(white):])
    luma = bytearray(b"".join(rows))
    draw_number(luma, number, width, height)
    stamp = b"frame %010d " % number
    luma[:len(stamp)] = stamp[:width * height]
    chroma = width * height // 4
    u = bytes([(number * 16) & 0xFF]) * chroma
    v = bytes([(255 - number * 8) & 0xFF]) * chroma
    return bytes(luma) + u + v


def write_frames(path, numbers, width=DEFAULT_WIDTH, height=DEFAULT_HEIGHT,
                 length=None):
    """Writes each frame in `numbers` at its place in the file at `path`.

    Frames not named are left as holes, so that a file far beyond 4 GiB
    costs only the frames it holds.  `length`, in bytes, sets the file's
    size, which may end in a partial frame.
    """
    size = frame_size(width, height)
    with open(path, "wb") as out:
        for number in numbers:
            out.seek(number * size)
            out.write(frame(number, width, height))
        if length is not None:
            out.truncate(length)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("frames", type=int)
    parser.add_argument("--width", type=int, default=DEFAULT_WIDTH)
    parser.add_argument("--height", type=int, default=DEFAULT_HEIGHT)
    args = parser.parse_args(argv)
    write_frames(args.output, range(args.frames), args.width, args.height)
    print("%s: %d frames of %dx%d yuv420p, %d bytes" % (
        args.output, args.frames, args.width, args.height,
        os.path.getsize(args.output)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
