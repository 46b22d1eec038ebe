"""Checks the byte codecs against Python's own implementations.

Drives codecs_tool (path in argv[1]) on generated inputs: CRC-32 against
zlib.crc32, MD5 against hashlib and md5sum, base64 against the base64 module
with this system's alphabet, host text against fixtures made with Python's
codecs, and the delta codec on random mutations, its stored form unpacked by
python3-lz4 and its header CRCs checked by zlib.
"""
import base64
import hashlib
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

import lz4.block

TOOL = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="codecs_check_")
rng = random.Random(1234)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def put(name, data):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


class result:
    def __init__(self, returncode, stdout):
        self.returncode, self.stdout = returncode, stdout


# One tool process answers every command (a start of the sanitizer build
# costs far more than most of the checks).
tool = subprocess.Popen([TOOL, "batch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)


def run(*args):
    tool.stdin.write((" ".join(args) + "\n").encode())
    tool.stdin.flush()
    header = tool.stdout.readline().split()
    if len(header) != 2:
        sys.exit("codecs_tool ended early (status %s)" % tool.wait())
    status, length = int(header[0]), int(header[1])
    return result(status, tool.stdout.read(length))


def sample_inputs():
    yield b""
    yield b"123456789"
    yield b"a"
    for n in list(range(1, 70)) + [255, 256, 1000, 4096, 65537, 300000]:
        yield bytes(rng.getrandbits(8) for _ in range(n)) if n < 5000 else os.urandom(n)


# CRC-32 and MD5.
for i, data in enumerate(sample_inputs()):
    path = put("in%d" % i, data)
    crc = int(run("crc32", path).stdout)
    check(crc == zlib.crc32(data), "crc32 of %d bytes" % len(data))
    digest = run("md5", path).stdout.decode().strip()
    check(digest == hashlib.md5(data).hexdigest(), "md5 of %d bytes" % len(data))
    if i % 10 == 0:
        md5sum = subprocess.run(["md5sum", path], capture_output=True, check=True).stdout.split()[0].decode()
        check(digest == md5sum, "md5 against md5sum, %d bytes" % len(data))
check(int(run("crc32", put("check", b"123456789")).stdout) == 0xCBF43926, "crc32 check value")

# Base64 with '_' and '-' for 62 and 63, padded with '='.
for i, data in enumerate(sample_inputs()):
    path = put("b%d" % i, data)
    enc = run("b64enc", path).stdout
    check(enc == base64.b64encode(data, altchars=b"_-"), "base64 encode of %d bytes" % len(data))
    # Decoding skips what is outside the alphabet: wrap the text in blanks
    # and line breaks.
    noisy = b"\n ".join(enc[k:k + 19] for k in range(0, len(enc), 19))
    dec = run("b64dec", put("e%d" % i, noisy)).stdout
    check(dec == data, "base64 decode of %d bytes" % len(data))

# Host text: q7scii codes and the Unicode text that stands for each.
GLYPHS = {}
for code, text in zip(range(128, 154), [
        "\u2588", "\u2592", "\U0001F431", "\u2B07\uFE0F", "\u2591", "\u273D", "\u25CF", "\u2665",
        "\u2609", "\uC6C3", "\u2302", "\u2B05\uFE0F", "\U0001F610", "\u266A", "\U0001F17E\uFE0F",
        "\u25C6", "\u2026", "\u27A1\uFE0F", "\u2605", "\u29D7", "\u2B06\uFE0F", "\u02C7", "\u2227",
        "\u274E", "\u25A4", "\u25A5"]):
    GLYPHS[code] = text
for code, text in zip(range(16, 32), "\u25AE\u25A0\u25A1\u2059\u2058\u2016\u25C0\u25B6"
                      "\u300C\u300D\u00A5\u2022\u3001\u3002\u309B\u309C"):
    GLYPHS[code] = text
GLYPHS[254], GLYPHS[255], GLYPHS[127] = "\u25DC", "\u25DD", "\u25CB"
HIRAGANA = [0x3042, 0x3044, 0x3046, 0x3048, 0x304A, 0x304B, 0x304D, 0x304F, 0x3051, 0x3053,
            0x3055, 0x3057, 0x3059, 0x305B, 0x305D, 0x305F, 0x3061, 0x3064, 0x3066, 0x3068,
            0x306A, 0x306B, 0x306C, 0x306D, 0x306E, 0x306F, 0x3072, 0x3075, 0x3078, 0x307B,
            0x307E, 0x307F, 0x3080, 0x3081, 0x3082, 0x3084, 0x3086, 0x3088, 0x3089, 0x308A,
            0x308B, 0x308C, 0x308D, 0x308F, 0x3092, 0x3093, 0x3063, 0x3083, 0x3085, 0x3087]
for i, cp in enumerate(HIRAGANA):
    GLYPHS[154 + i] = chr(cp)
    GLYPHS[204 + i] = chr(cp + 0x60)
SUPERSCRIPTS = "\u2070\u00B9\u00B2\u00B3\u2074\u2075\u2076\u2077\u2078\u2079\u1D43\u1D47\u1D9C\u1D48\u1D49\u1DA0"
for code in range(1, 16):
    if code not in (9, 10, 13):
        GLYPHS[code] = SUPERSCRIPTS[code]
for code in range(256):
    if code in (9, 10, 13) or 32 <= code <= 126:
        GLYPHS[code] = chr(code)
check(len(GLYPHS) == 255, "every non-zero code has a host form")

codes = bytes(range(1, 256)) + bytes(rng.choice(range(1, 256)) for _ in range(3000))
host = "".join(GLYPHS[c] for c in codes)
enc = run("hostenc", put("q7", codes)).stdout
check(enc == host.encode("utf-8"), "host text encoding of every code")
# The encoder writes CR (13) as itself and the decoder drops it; everything
# else reads back.
expect = codes.replace(b"\r", b"")
for bom in (b"", b"\xef\xbb\xbf"):
    dec = run("hostdec", put("u8", bom + host.encode("utf-8"))).stdout
    check(dec == expect, "UTF-8 decoding, mark %r" % bom)
dec = run("hostdec", put("sans", "".join(chr(0x1D622 + i) for i in range(26)).encode("utf-8"))).stdout
check(dec == b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "sans-serif italic capitals read as letters")
# Of UTF-16 and UTF-32 only the low byte of each unit is read: ASCII text.
ascii_text = "".join(rng.choice("abcXYZ 019.,;{}\t\r\n") for _ in range(500))
for codec, bom in (("utf-16-le", b"\xff\xfe"), ("utf-16-be", b"\xfe\xff"),
                   ("utf-32-le", b"\xff\xfe\x00\x00"), ("utf-32-be", b"\x00\x00\xfe\xff")):
    data = bom + ascii_text.encode(codec)
    dec = run("hostdec", put(codec, data)).stdout
    check(dec == ascii_text.replace("\r", "").encode(), "%s decoding" % codec)


# Delta codec: a plain reading of the raw form, to check ours against.
def apply_raw(src, raw):
    dst_len, src_crc, dst_crc = struct.unpack_from("<III", raw, 0)
    out = bytearray()
    pos = 12

    def length():
        nonlocal pos
        n = raw[pos]
        pos += 1
        if n == 255:
            n = struct.unpack_from("<I", raw, pos)[0]
            pos += 4
        return n

    while pos < len(raw):
        n = length()
        out += raw[pos:pos + n]
        pos += n
        if pos >= len(raw):
            break
        n = length()
        off = struct.unpack_from("<I", raw, pos)[0]
        pos += 4
        assert off + n <= len(src)
        out += src[off:off + n]
    return dst_len, src_crc, dst_crc, bytes(out)


def mutate(data):
    data = bytearray(data)
    for _ in range(rng.randint(0, 12)):
        op = rng.randrange(4)
        at = rng.randint(0, len(data))
        n = rng.choice([1, 3, 8, 40, 255, 256, 1000, 70000])
        if op == 0:
            data[at:at] = os.urandom(n)
        elif op == 1:
            del data[at:at + n]
        elif op == 2:
            data[at:at + n] = bytes(rng.getrandbits(8) for _ in range(min(n, 300)))
        elif len(data):
            start = rng.randint(0, len(data) - 1)
            data[at:at] = data[start:start + n]
    return bytes(data)


def text_like(n):
    words = [b"local ", b"function ", b"end\n", b"return ", b"x = x + 1\n", b"-- note\n", b"print(x)\n"]
    return b"".join(rng.choice(words) for _ in range(n))


cases = [(b"", b""), (b"", b"new"), (b"old", b""), (b"x" * 100, b"x" * 100)]
for _ in range(60):
    src = rng.choice([os.urandom(rng.choice([0, 5, 31, 32, 33, 500, 20000])), text_like(rng.choice([10, 300, 9000]))])
    cases.append((src, mutate(src)))
cases.append((os.urandom(300000), None))
cases[-1] = (cases[-1][0], mutate(cases[-1][0]))
for i, (src, dst) in enumerate(cases):
    sp, dp, out = put("src%d" % i, src), put("dst%d" % i, dst), os.path.join(WORK, "delta%d" % i)
    r = run("delta", sp, dp, out)
    check(r.returncode == 0, "delta %d created" % i)
    stored = open(out, "rb").read()
    check(stored[:4] == b"dst\0", "delta %d marker" % i)
    raw_len = struct.unpack_from("<I", stored, 4)[0]
    raw = lz4.block.decompress(stored[8:], uncompressed_size=raw_len)
    dst_len, src_crc, dst_crc, rebuilt = apply_raw(src, raw)
    check(dst_len == len(dst), "delta %d destination length" % i)
    check(src_crc == zlib.crc32(src) and dst_crc == zlib.crc32(dst), "delta %d header CRCs" % i)
    check(rebuilt == dst, "delta %d rebuilt by the reference reader" % i)
    back = os.path.join(WORK, "back%d" % i)
    r = run("apply", sp, out, back)
    check(r.returncode == 0 and open(back, "rb").read() == dst, "delta %d applied" % i)
    # The raw form applies too; a different source does not.
    rawp = put("raw%d" % i, raw)
    r = run("apply", sp, rawp, back)
    check(r.returncode == 0 and open(back, "rb").read() == dst, "raw delta %d applied" % i)
    r = run("apply", put("other%d" % i, src + b"!"), out, back)
    check(r.returncode == 3, "delta %d refused on another source" % i)

tool.stdin.close()
check(tool.wait() == 0, "codecs_tool ends cleanly")
# The one-command form answers like the batch.
single = subprocess.run([TOOL, "crc32", put("single", b"123456789")], capture_output=True)
check((single.returncode, single.stdout) == (0, b"3421780262\n"), "single crc32 command")
check(subprocess.run([TOOL, "nonsense", "x"]).returncode == 2, "unknown command refused")

if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("all codec reference checks passed")
