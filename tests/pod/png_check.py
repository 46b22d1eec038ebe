"""Checks the PNG buffers against Pillow, ImageMagick and pngcheck.

PNGs in palette, grey (1 to 16 bits), grey with alpha, RGB, RGBA and 16-bit
forms, some interlaced, are made by Pillow and ImageMagick; png_tool (path in
argv[1]) decodes each and its RGBA must equal Pillow's. Images encoded by
png_tool must pass pngcheck and read back in Pillow as the same pixels.
"""
import os
import random
import struct
import subprocess
import sys
import tempfile

from PIL import Image

TOOL = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="png_check_")
rng = random.Random(99)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def path(name):
    return os.path.join(WORK, name)


def noise(w, h):
    return Image.frombytes("RGBA", (w, h), bytes(rng.getrandbits(8) for _ in range(w * h * 4)))


def ours(png):
    out = path("decoded.raw")
    r = subprocess.run([TOOL, "decode", png, out], capture_output=True)
    if r.returncode != 0:
        return None
    data = open(out, "rb").read()
    w, h = struct.unpack("<II", data[:8])
    return w, h, data[8:]


def pillow_rgba(png):
    img = Image.open(png)
    img.load()
    if img.mode in ("I;16", "I;16B", "I"):  # 16-bit grey: the high byte, as any 8-bit reader
        img = img.point(lambda v: v / 256).convert("L")
    return img.convert("RGBA")


def compare(png, what):
    got = ours(png)
    want = pillow_rgba(png)
    check(got is not None, what + ": decodes")
    if got:
        check(got[:2] == want.size, what + ": size")
        check(got[2] == want.tobytes(), what + ": pixels")


# Files written by Pillow.
base = noise(37, 23)
pillow_forms = {
    "rgba": base,
    "rgb": base.convert("RGB"),
    "grey": base.convert("L"),
    "grey_alpha": base.convert("LA"),
    "palette": base.convert("RGB").quantize(200),
    "palette_small": base.convert("RGB").quantize(4),
    "bilevel": base.convert("1"),
}
for name, img in pillow_forms.items():
    p = path("pil_%s.png" % name)
    img.save(p)
    compare(p, "pillow " + name)
p = path("pil_palette_trns.png")
pal = base.convert("RGB").quantize(16)
pal.save(p, transparency=3)
compare(p, "pillow palette with transparency")

# Files written by ImageMagick: 16-bit, low-depth grey, interlaced.
src = path("pil_rgba.png")
magick_forms = {
    "rgba16": ["-depth", "16", "PNG64:"],
    "rgb16_interlaced": ["-alpha", "off", "-depth", "16", "-interlace", "PNG", "PNG48:"],
    "grey16": ["-colorspace", "Gray", "-depth", "16", "PNG:"],
    "grey2": ["-colorspace", "Gray", "-depth", "2", "PNG:"],
    "rgba_interlaced": ["-interlace", "PNG", "PNG32:"],
    "palette_interlaced": ["-colors", "50", "-interlace", "PNG", "PNG8:"],
}
for name, args in magick_forms.items():
    p = path("im_%s.png" % name)
    *opts, prefix = args
    subprocess.run(["/usr/bin/convert", src, *opts, prefix + p], check=True)
    check(subprocess.run(["pngcheck", "-q", p]).returncode == 0, "imagemagick made " + name)
    compare(p, "imagemagick " + name)

# Ours, read back by pngcheck and Pillow, sizes 1x1 to odd widths.
for w, h in [(1, 1), (3, 1), (1, 5), (64, 64), (131, 7)]:
    raw = bytes(rng.getrandbits(8) for _ in range(w * h * 4))
    rp, pp = path("in.raw"), path("ours_%dx%d.png" % (w, h))
    open(rp, "wb").write(raw)
    r = subprocess.run([TOOL, "encode", str(w), str(h), rp, pp])
    check(r.returncode == 0, "encode %dx%d" % (w, h))
    if r.returncode == 0:
        check(subprocess.run(["pngcheck", "-q", pp]).returncode == 0, "pngcheck %dx%d" % (w, h))
        back = Image.open(pp).convert("RGBA")
        check(back.size == (w, h) and back.tobytes() == raw, "pillow reads ours %dx%d" % (w, h))

# Damaged files fail instead of giving pixels.
good = open(path("pil_rgb.png"), "rb").read()
for name, bad in [("truncated", good[: len(good) // 2]), ("not a png", b"\x89PNX" + good[4:]),
                  ("empty", b"")]:
    p = path("bad.png")
    open(p, "wb").write(bad)
    check(ours(p) is None, "refuses " + name)

if failures:
    sys.exit("%d failures" % len(failures))
print("png checks passed")
