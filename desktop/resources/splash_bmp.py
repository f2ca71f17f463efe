#!/usr/bin/env python3
"""Writes the splash as an 8-bit BMP from a 600 x 300 coverage mask.

splash_bmp.py MASK OUTPUT: MASK holds one byte per pixel, 0 for the field
and 255 for white lettering. Coverage is cut into 64 steps, so the palette
holds 65 colours: the steel-blue field, 63 blends and white.
"""
import struct
import sys

WIDTH, HEIGHT = 600, 300
FIELD = (0x46, 0x82, 0xB4)  # steel blue, red-green-blue
STEPS = 64


def main():
    mask_path, output_path = sys.argv[1:3]
    mask = open(mask_path, 'rb').read()
    if len(mask) != WIDTH * HEIGHT:
        sys.exit('splash_bmp.py: mask is %d bytes, not %d' % (len(mask), WIDTH * HEIGHT))
    palette = b''
    for step in range(STEPS + 1):
        red, green, blue = (round(c + (255 - c) * step / STEPS) for c in FIELD)
        palette += bytes((blue, green, red, 0))
    # Rows bottom-up; 600 is a multiple of 4, so rows need no padding.
    pixels = bytearray()
    for row in range(HEIGHT - 1, -1, -1):
        line = mask[row * WIDTH:(row + 1) * WIDTH]
        pixels += bytes((value * STEPS + 127) // 255 for value in line)
    colours = STEPS + 1
    offset = 14 + 40 + len(palette)
    header = struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, WIDTH, HEIGHT, 1, 8, 0, len(pixels), 2835, 2835, colours, colours)
    with open(output_path, 'wb') as output:
        output.write(header + info + palette + pixels)


if __name__ == '__main__':
    main()
