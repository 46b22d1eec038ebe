"""Checks the pod binary forms against independent decoders: Python's lz4
(Debian's python3-lz4), struct and base64 with the system's alphabet.

Usage: pod_forms_check.py TOOL WORKDIR
"""
import base64
import os
import re
import struct
import subprocess
import sys

import lz4.block

ALTCHARS = b"_-"  # the system's alphabet: A-Z a-z 0-9 _ -


def pod_escape(data):
    """The pod writer's escaping of string bytes, written from its description."""
    out = bytearray()
    for c in data:
        if c == 10:
            out += b"\\n"
        elif c == 92:
            out += b"\\\\"
        elif c == 34:
            out += b'\\"'
        elif c < 32 or c == 93 or c >= 127:
            out += b"\\%03d" % c
        else:
            out.append(c)
    return bytes(out)


def strip_str_forms(text):
    """Replaces every str form (str 0, u32 length, bytes) by its quoted text."""
    out, i = bytearray(), 0
    while i < len(text):
        if text[i:i + 4] == b"str\0":
            (n,) = struct.unpack_from("<I", text, i + 4)
            body = text[i + 8:i + 8 + n]
            assert len(body) == n, "str form cut short"
            out += b'"' + pod_escape(body) + b'"'
            i += 8 + n
        else:
            out.append(text[i])
            i += 1
    return bytes(out)


def unwrap_lz4(form):
    assert form[:4] == b"lz4\0", form[:16]
    c, r = struct.unpack_from("<II", form, 4)
    assert len(form) == 12 + c, (len(form), c)
    raw = lz4.block.decompress(form[12:], uncompressed_size=r)
    assert len(raw) == r
    return raw


def unwrap_b64(form):
    m = re.fullmatch(rb'unpod\("b64:([A-Za-z0-9_\-=]*)"\)', form)
    assert m, form[:40]
    return base64.b64decode(m.group(1), altchars=ALTCHARS, validate=True)


def main():
    tool, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    subprocess.run([tool, "write", work], check=True)
    names = sorted({f.split(".")[0] for f in os.listdir(work) if ".f" in f})
    assert names, "no cases written"
    checked = 0
    for name in names:
        f = {int(p.split(".f")[1]): open(os.path.join(work, p), "rb").read()
             for p in os.listdir(work) if p.startswith(name + ".f")}
        plain = f[0]
        assert b"str\0" not in plain and all(32 <= c < 127 for c in plain), name
        assert unwrap_lz4(f[2]) == plain, name
        assert unwrap_b64(f[4]) == plain, name
        assert unwrap_b64(f[6]) == f[2], name
        assert strip_str_forms(f[32]) == plain, name
        assert unwrap_lz4(f[34]) == f[32], name
        assert unwrap_b64(f[38]) == f[34], name

        # The other way: forms made here are read by the workstation's reader.
        block = lz4.block.compress(plain, store_size=False)
        lz4_form = b"lz4\0" + struct.pack("<II", len(block), len(plain)) + block
        made = {
            "lz4": lz4_form,
            "b64": b'unpod("b64:' + base64.b64encode(plain, altchars=ALTCHARS) + b'")',
            "b64lz4": b'unpod("b64:' + base64.b64encode(lz4_form, altchars=ALTCHARS) + b'")',
        }
        for kind, data in made.items():
            path = os.path.join(work, name + "." + kind)
            open(path, "wb").write(data)
            got = subprocess.run([tool, "read", path], capture_output=True).stdout
            assert got == plain, (name, kind, got[:60])
        checked += 1
    print("checked", checked, "values")


if __name__ == "__main__":
    main()
