#!/usr/bin/env python3
"""Decodes a file-history store with an independent LZ4 (python3-lz4).

check_store.py STORE OUT: STORE is the "anywhen" folder. Every blob
(u32 compressed length, u32 raw length, one LZ4 block) is decoded into
OUT/<hash>, and every delta of the day logs (the hex of "|" lines after a
"+" line: "dst", a 0 byte, u32 raw length, one LZ4 block whose raw delta
begins with the u32 destination length) is decoded. Prints one line a
finding:
  blob HASH RAW_LENGTH
  delta PATH DESTINATION_LENGTH LINES
and exits 1 at the first inconsistency.
"""
import os
import struct
import sys

import lz4.block


def fail(msg):
    print("bad " + msg)
    sys.exit(1)


def check_blobs(store, out):
    folder = os.path.join(store, "blob")
    for name in sorted(os.listdir(folder)):
        data = open(os.path.join(folder, name), "rb").read()
        if not name.endswith(".lz4") or len(name) != 36 or len(data) < 8:
            fail("blob name or size " + name)
        packed, raw = struct.unpack("<II", data[:8])
        if packed != len(data) - 8:
            fail("compressed length %d of %s" % (packed, name))
        body = lz4.block.decompress(data[8:], uncompressed_size=raw)
        if len(body) != raw:
            fail("raw length of " + name)
        open(os.path.join(out, name[:32]), "wb").write(body)
        print("blob %s %d" % (name[:32], raw))


def finish_delta(path, hex_text, lines):
    # 38 bytes a line: every line full but the last, which holds the rest.
    last = lines[-1] if lines else ""
    if any(len(h) != 76 for h in lines[:-1]) or not 2 <= len(last) <= 76 or len(last) % 2:
        fail("delta line length for " + path)
    stored = bytes.fromhex(hex_text)
    if stored[:4] != b"dst\0":
        fail("delta header for " + path)
    (raw_length,) = struct.unpack("<I", stored[4:8])
    raw = lz4.block.decompress(stored[8:], uncompressed_size=raw_length)
    (dst_length,) = struct.unpack("<I", raw[:4])
    print("delta %s %d %d" % (path, dst_length, len(lines)))


def check_logs(store):
    for month in sorted(os.listdir(store)):
        if month == "blob":
            continue
        for day in sorted(os.listdir(os.path.join(store, month))):
            if not day.endswith(".log"):
                continue
            path, lines = None, []
            for line in open(os.path.join(store, month, day), "rb").read().decode().split("\n"):
                if line.startswith("| ") and path:
                    lines.append(line[2:])
                    continue
                if path:
                    finish_delta(path, "".join(lines), lines)
                path, lines = (line[35:], []) if line.startswith("+ ") else (None, [])


os.makedirs(sys.argv[2], exist_ok=True)
check_blobs(sys.argv[1], sys.argv[2])
check_logs(sys.argv[1])
