#!/usr/bin/python3
# Writes the reference results of convert, copy, take and sort, computed with
# numpy on fixed random inputs, to golden/ops.txt. Run once; the output is
# committed and read by ops_golden_test.cpp.
#
# Line forms (records given as data texts: hex digits most significant first
# for integers, "%.17g" lists for f64; results as little-endian element bytes
# in hex):
#   convert SRC DST N TEXT RESULT
#   copy T NA NB ATEXT BTEXT BOFF AOFF LEN BSTRIDE ASTRIDE SPANS RESULT
#   take T NS STEXT NI ITEXT SPAN W H RESULT
#   sort T W H TEXT COLUMN DESCENDING RESULT
import os
import numpy as np

rng = np.random.default_rng(20261210)
TYPES = {"u8": np.uint8, "i16": np.int16, "i32": np.int32, "i64": np.int64, "f64": np.float64}


def text(t, a):
    if t == "f64":
        return ",".join("%.17g" % v for v in a)
    return a.astype(np.dtype(TYPES[t]).newbyteorder(">")).tobytes().hex() or "-"


def result(a):
    return a.astype(np.dtype(a.dtype).newbyteorder("<")).tobytes().hex()


def values(t, n):
    if t == "f64":
        v = rng.uniform(-1e6, 1e6, n)
        v[: n // 4] = rng.uniform(-300, 300, n // 4)
        return v
    info = np.iinfo(TYPES[t])
    v = rng.integers(info.min, info.max, n, dtype=np.int64, endpoint=True).astype(TYPES[t])
    v[:3] = [info.min, info.max, 0][:3]
    return v


def convert(src, dst, a):
    if src == "f64" and dst != "f64":
        f = np.floor(a)
        if dst == "i64":
            return f.astype(np.int64)
        # floor, then the low bits of the 32-bit value
        return f.astype(np.int64).astype(np.int32).astype(TYPES[dst])
    return a.astype(TYPES[dst])


lines = []
for src in TYPES:
    for dst in TYPES:
        a = values(src, 40)
        if src == "f64" and dst != "i64":
            a = np.clip(a, -2.0**31, 2.0**31 - 1)
            if dst == "u8":
                a = rng.uniform(0, 255.99, 40)
        lines.append("convert %s %s %d %s %s" % (src, dst, len(a), text(src, a), result(convert(src, dst, a))))


def walk(na, nb, boff, aoff, length, bstride, astride, spans):
    # every (destination, source) position pair the walk visits, in order
    pairs = []
    swapped = spans > length
    outer, inner = (length, spans) if swapped else (spans, length)
    for j in range(max(outer, 0)):
        pa = aoff + j * (1 if swapped else astride)
        pb = boff + j * (1 if swapped else bstride)
        sa, sb = (astride, bstride) if swapped else (1, 1)
        for k in range(max(inner, 0)):
            i, m = pa + k * sa, pb + k * sb
            if 0 <= i < na and 0 <= m < nb:
                pairs.append((i, m))
    return pairs


for t in TYPES:
    for _ in range(6):
        na, nb = int(rng.integers(5, 40)), int(rng.integers(5, 40))
        a, b = values(t, na), values(t, nb)
        p = [int(rng.integers(-6, 10)), int(rng.integers(-6, 10)), int(rng.integers(0, 8)),
             int(rng.integers(1, 9)), int(rng.integers(1, 9)), int(rng.integers(0, 8))]
        d = a.copy()
        for i, m in walk(na, nb, *p):
            d[i] = b[m]
        lines.append("copy %s %d %d %s %s %s %s" % (t, na, nb, text(t, a), text(t, b),
                                                  " ".join(map(str, p)), result(d)))

for t in TYPES:
    for span in (1, 3):
        ns, ni = int(rng.integers(6, 30)), int(rng.integers(3, 12))
        s = values(t, ns)
        idx = rng.integers(-2, ns + 2, ni).astype(np.int32)
        if span == 1:
            ok = (idx >= 0) & (idx < ns)
            d = np.zeros(ni, TYPES[t])
            d[ok] = s[idx[ok]]
            w, h = ni, 1
        else:
            d = np.zeros((ni, span), TYPES[t])
            for r, v in enumerate(idx):
                for k in range(span):
                    if 0 <= v + k < ns:
                        d[r, k] = s[v + k]
            w, h = span, ni
        lines.append("take %s %d %s %d %s %d %d %d %s" % (t, ns, text(t, s), ni, text("i32", idx), span, w, h,
                                                       result(d.ravel())))

for t in TYPES:
    for desc in (0, 1):
        w, h = int(rng.integers(1, 4)), int(rng.integers(2, 60))
        col = int(rng.integers(0, w))
        a = values(t, w * h).reshape(h, w)
        # distinct keys, so that every sort agrees on the order
        keys = rng.permutation(np.arange(h) * 3 - 40 if t != "u8" else np.arange(h) * 4)
        a[:, col] = keys.astype(TYPES[t])
        order = np.argsort(a[:, col], kind="stable")
        if desc:
            order = order[::-1]
        lines.append("sort %s %d %d %s %d %d %s" % (t, w, h, text(t, a.ravel()), col, desc, result(a[order].ravel())))

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden", "ops.txt")
with open(out, "w") as f:
    f.write("\n".join(lines) + "\n")
