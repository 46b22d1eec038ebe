"""Compares a drawn picture (raw 8-bit indices) with its golden PNG index for
index through Pillow; with --update writes the PNG instead (palette: the
system colours by index & 63)."""
import sys

import numpy as np
from PIL import Image

SYSTEM = [0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
          0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
          0x2463B0, 0x00A5A1, 0x654688, 0x125359, 0x72302D, 0x452D32, 0xA28879, 0xFFACC5,
          0xB9003E, 0xE26B02, 0x95F042, 0x00B251, 0x64DFF6, 0xBD9ADF, 0xE40DAB, 0xFF9067]


def main():
    raw_path, width, height, png_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    raw = np.fromfile(raw_path, dtype=np.uint8).reshape(height, width)
    if "--update" in sys.argv:
        img = Image.fromarray(raw, mode="P")
        pal = []
        for i in range(256):
            c = SYSTEM[i & 63] if (i & 63) < 32 else 0
            pal += [c >> 16, (c >> 8) & 255, c & 255]
        img.putpalette(pal)
        img.save(png_path)
        return 0
    img = Image.open(png_path)
    if img.mode != "P" or img.size != (width, height):
        print(f"{png_path}: mode {img.mode} size {img.size}, want P {width}x{height}")
        return 1
    want = np.array(img, dtype=np.uint8)
    diff = np.argwhere(want != raw)
    if len(diff):
        y, x = diff[0]
        print(f"{png_path}: {len(diff)} pixels differ, first at {x},{y}: {raw[y, x]} != {want[y, x]}")
        return 1
    return 0


sys.exit(main())
