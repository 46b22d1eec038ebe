"""Reads the captures of capture_tool (argv[1]) with independent decoders.

Screenshot: pngcheck and Pillow, pixels against the frame. Label: a QOI
reader written here from the format and qoiconv, against the frame shown
twice as large. GIF: Pillow and ImageMagick, frame by frame as a viewer
composes them, with their delays and the loop block. PNG cartridge: pngcheck,
Pillow, the ROM gathered from the low bits by a reader written here, its LZ4
block opened by python3-lz4, every entry equal to the file it came from.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import lz4.block
from PIL import Image, ImageSequence

TOOL = sys.argv[1]
OUT = tempfile.mkdtemp(prefix="capture_check_")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


subprocess.run([TOOL, OUT], check=True)
frame = struct.unpack("<%dI" % (480 * 270), open(os.path.join(OUT, "frame.raw"), "rb").read())


def rgb(word):
    return (word >> 16 & 255, word >> 8 & 255, word & 255)


# ---- screenshot: region (10, 20) 100x50, factor 2
shot = os.path.join(OUT, "desk", "shot.png")
check(subprocess.run(["pngcheck", "-q", shot]).returncode == 0, "pngcheck screenshot")
img = Image.open(shot).convert("RGBA")
check(img.size == (200, 100), "screenshot size %s" % (img.size,))
want = [rgb(frame[(20 + j // 2) * 480 + 10 + i // 2]) + (255,) for j in range(100) for i in range(200)]
check(list(img.getdata()) == want, "screenshot pixels")


# ---- label: a QOI reader from the format
def qoi_decode(data):
    assert data[:4] == b"qoif"
    w, h, channels, colourspace = struct.unpack(">IIBB", data[4:14])
    px, pos, out = [0, 0, 0, 255], 14, []
    index = [(0, 0, 0, 0)] * 64
    run = 0
    for _ in range(w * h):
        if run:
            run -= 1
        else:
            b = data[pos]
            pos += 1
            if b == 0xFE:
                px[0:3] = data[pos:pos + 3]
                pos += 3
            elif b == 0xFF:
                px[0:4] = data[pos:pos + 4]
                pos += 4
            elif b >> 6 == 0:
                px = list(index[b])
            elif b >> 6 == 1:
                px[0] = (px[0] + (b >> 4 & 3) - 2) & 255
                px[1] = (px[1] + (b >> 2 & 3) - 2) & 255
                px[2] = (px[2] + (b & 3) - 2) & 255
            elif b >> 6 == 2:
                b2 = data[pos]
                pos += 1
                dg = (b & 63) - 32
                px[0] = (px[0] + dg - 8 + (b2 >> 4)) & 255
                px[1] = (px[1] + dg) & 255
                px[2] = (px[2] + dg - 8 + (b2 & 15)) & 255
            else:
                run = b & 63
            index[(px[0] * 3 + px[1] * 5 + px[2] * 7 + px[3] * 11) % 64] = tuple(px)
        out.append(tuple(px))
    check(data[pos:] == b"\0" * 7 + b"\1", "qoi end marker")
    return w, h, channels, colourspace, out


label = open(os.path.join(OUT, "label.qoi"), "rb").read()
w, h, channels, colourspace, pixels = qoi_decode(label)
check((w, h, channels, colourspace) == (480, 270, 4, 1), "label header %s" % ((w, h, channels, colourspace),))
want = [rgb(frame[(j // 2) * 480 + i // 2]) + (255,) for j in range(270) for i in range(480)]
check(pixels == want, "label pixels (own QOI reader, mode 3 shown doubled)")
conv = os.path.join(OUT, "label_qoiconv.png")
if subprocess.run(["qoiconv", os.path.join(OUT, "label.qoi"), conv]).returncode == 0:
    check(list(Image.open(conv).convert("RGBA").getdata()) == want, "label pixels (qoiconv)")
else:
    check(False, "qoiconv reads the label")

# ---- GIF: composed frames, delays, loop
gif = os.path.join(OUT, "desk", "rec.gif")
raw = open(os.path.join(OUT, "gif_frames.raw"), "rb").read()
W, H = 128, 80
expected = [raw[k:k + W * H * 3] for k in range(0, len(raw), W * H * 3)]
check(len(expected) == 6, "six frames expected")
im = Image.open(gif)
check(im.info.get("loop") == 0, "loop for ever (Pillow)")
frames, delays = [], []
for f in ImageSequence.Iterator(im):
    delays.append(f.info.get("duration"))
    frames.append(f.convert("RGB").tobytes())
check(delays == [30] * 6, "delays (Pillow) %s" % delays)
check(frames == expected, "frames (Pillow)")
ident = subprocess.run(["identify", "-format", "%T %W %H|", gif], capture_output=True, text=True).stdout
check(ident == "3 128 80|" * 6, "delays and sizes (ImageMagick) %r" % ident)
coal = os.path.join(OUT, "coalesced_%d.rgb")
subprocess.run(["convert", gif, "-coalesce", "-depth", "8", coal.replace(".rgb", ".ppm")], check=True)
for n, want_frame in enumerate(expected):
    got = Image.open(coal.replace(".rgb", ".ppm") % n).convert("RGB").tobytes()
    check(got == want_frame, "frame %d (ImageMagick)" % n)
check(b"NETSCAPE2.0\x03\x01\x00\x00\x00" in open(gif, "rb").read(), "loop block bytes")

# ---- GIF cut short: a recording killed before its end keeps every frame
cut = os.path.join(OUT, "cut.gif")
check(open(cut, "rb").read() + b";" == open(gif, "rb").read(), "cut GIF is the GIF less its last byte")
cut_frames = [f.convert("RGB").tobytes() for f in ImageSequence.Iterator(Image.open(cut))]
check(cut_frames == expected, "frames of the cut GIF (Pillow)")
ident = subprocess.run(["identify", "-format", "%W %H|", cut], capture_output=True, text=True).stdout
check(ident == "128 80|" * 6, "frames of the cut GIF (ImageMagick) %r" % ident)

# ---- PNG cartridge: the ROM from the low bits
cart = os.path.join(OUT, "cart.kvd.png")
check(subprocess.run(["pngcheck", "-q", cart]).returncode == 0, "pngcheck cartridge")
carrier = Image.open(cart)
check(carrier.size == (512, 384) and carrier.mode == "RGBA", "cartridge picture %s %s" % (carrier.size, carrier.mode))
data = carrier.tobytes()
bits, nbits, rom = 0, 0, bytearray()
for i, b in enumerate(data):
    n = 2 if i % 4 == 3 else 3
    bits |= (b & ((1 << n) - 1)) << nbits
    nbits += n
    while nbits >= 8:
        rom.append(bits & 255)
        bits >>= 8
        nbits -= 8
check(rom[:3] == b"kvd", "ROM header")
size = struct.unpack("<I", rom[4:8])[0]
payload = lz4.block.decompress(bytes(rom[8:8 + size]), uncompressed_size=64 << 20)
entries, pos = {}, 0
while pos < len(payload):
    end = payload.index(b"\0", pos)
    name = payload[pos:end].decode()
    pos = end + 1
    if name.endswith("/"):
        entries[name] = None
        continue
    n = payload[pos]
    pos += 1
    if n == 255:
        n = struct.unpack("<I", payload[pos:pos + 4])[0]
        pos += 4
    entries[name] = payload[pos:pos + n]
    pos += n
files = {}
base = os.path.join(OUT, "cart")
for root, dirs, names in os.walk(base):
    for d in dirs:
        files[os.path.relpath(os.path.join(root, d), base) + "/"] = None
    for f in names:
        files[os.path.relpath(os.path.join(root, f), base)] = open(os.path.join(root, f), "rb").read()
check(entries == files, "cartridge entries %s vs %s" % (sorted(entries), sorted(files)))
label_px = carrier.getpixel((16 + 100, 38 + 100))
check(all(c >> 3 == 0x80 >> 3 for c in label_px[:3]), "label placed at (16, 38): %s" % (label_px,))

shutil.rmtree(OUT, ignore_errors=True)
print("capture check:", "ok" if not failures else "%d failures" % len(failures))
sys.exit(1 if failures else 0)
