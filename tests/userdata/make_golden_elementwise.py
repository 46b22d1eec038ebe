#!/usr/bin/python3
# Writes the reference results of the element-wise operations and of the
# vector and matrix methods, computed with numpy (and zlib for crc) on fixed
# random inputs, to golden/elementwise.txt. Run once; the output is committed
# and read by ops_golden_test.cpp.
#
# Records are given as data texts (hex digits most significant first for
# integers, repr() lists for f64), results as little-endian element bytes in
# hex. Line forms:
#   ew OP T FORM NA NB ATEXT BTEXT SCALAR BOFF AOFF LEN BSTRIDE ASTRIDE SPANS RESULT
#     FORM: ab  a:op(b, nil, walk)       as  a:op(scalar, nil, walk)
#           sa  op(scalar, a, nil, walk) an  a:op(nil, nil, walk) (unary)
#   crc T N TEXT CRC
#   mat CALL RESULT        CALL is Lua code returning a record or a number
import ctypes
import os
import zlib
import numpy as np

rng = np.random.default_rng(20261215)
TYPES = {"u8": np.uint8, "i16": np.int16, "i32": np.int32, "i64": np.int64, "f64": np.float64}
BITS = {"u8": 8, "i16": 16, "i32": 32, "i64": 64}
FILL = {"u8": 255, "i16": 32767, "i32": 2147483647, "i64": 0x7FFFFFFFFFFF}
DBL_MAX = np.finfo(np.float64).max
np.seterr(all="ignore")
libm = ctypes.CDLL("libm.so.6")
libm.pow.restype = ctypes.c_double
libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]


def text(t, a):
    if t == "f64":
        return ",".join(repr(float(v)) for v in a) or "-"
    return a.astype(np.dtype(TYPES[t]).newbyteorder(">")).tobytes().hex() or "-"


def result(a):
    return a.astype(np.dtype(a.dtype).newbyteorder("<")).tobytes().hex()


def values(t, n):
    if t == "f64":
        v = rng.uniform(-1e3, 1e3, n)
        v[: n // 3] = rng.integers(-8, 9, n // 3)
        specials = [np.nan, -0.0, 0.0, np.inf, -np.inf, 2.0, -1.0]
        for i in rng.choice(n, min(n, 5), replace=False):
            v[i] = specials[rng.integers(0, len(specials))]
        return v
    info = np.iinfo(TYPES[t])
    v = rng.integers(info.min, info.max, n, dtype=np.int64, endpoint=True).astype(TYPES[t])
    small = rng.integers(-3 if info.min < 0 else 0, 10, n // 2).astype(TYPES[t])
    v[: n // 2] = small  # small values meet zero divisors, -1, shift counts and squares
    v[-1] = info.min
    return v


def wrap(t, x):
    # Python ints to the element type by their low bits.
    m = (1 << BITS[t]) - 1
    return np.array([int(v) & m for v in x], dtype=np.uint64).astype(np.uint64).view(np.int64).astype(
        TYPES[t]) if t == "i64" else np.array([int(v) & m for v in x], dtype=np.int64).astype(
            "u%d" % (BITS[t] // 8)).view(TYPES[t])


def to_int(t, f):
    # A float truncated to 32 bits (64 for i64), NaN and out of range the most
    # negative value, then the element's low bits.
    lo, hi = (-2.0**63, 2.0**63) if t == "i64" else (-2147483649.0, 2147483648.0)
    out = []
    for v in f:
        if np.isfinite(v) and (v >= lo if t == "i64" else v > lo) and v < hi:
            out.append(int(np.trunc(v)))
        else:
            out.append(-(1 << 63) if t == "i64" else -(1 << 31))
    return wrap(t, out)


def scalar_in(t, s):
    if t == "f64":
        return np.float64(s)
    return to_int(t, [s])[0]


def power(x, y):
    # the C library's pow, element by element: numpy's vectorised power may
    # differ from it in the last bit
    return np.array([libm.pow(float(p), float(q)) for p, q in zip(x.astype(np.float64),
                                                                  y.astype(np.float64))])


def rule(op, t, x, y):
    # x, y: numpy arrays of the element type; returns the rule's results.
    isf = t == "f64"
    X, Y = [int(v) for v in x] if not isf else None, [int(v) for v in y] if not isf else None
    if op in ("add", "sub", "mul"):
        if isf:
            return {"add": x + y, "sub": x - y, "mul": x * y}[op]
        f = {"add": lambda p, q: p + q, "sub": lambda p, q: p - q, "mul": lambda p, q: p * q}[op]
        return wrap(t, [f(p, q) for p, q in zip(X, Y)])
    if op in ("div", "idiv"):
        if isf:
            q = x / np.where(y == 0, 1.0, y)
            if op == "idiv":
                q = np.floor(q)
            return np.where(y == 0, np.where(x < 0, -DBL_MAX, DBL_MAX), q)
        out = []
        for p, q in zip(X, Y):
            if q == 0:
                out.append(-FILL[t] if p < 0 else FILL[t])
            else:
                out.append(abs(p) // abs(q) * (1 if (p < 0) == (q < 0) else -1))
        return wrap(t, out)
    if op == "mod":
        if isf:
            r = np.fmod(x, np.where(y == 0, 1.0, y))
            r = np.where(((r > 0) & (y < 0)) | ((r < 0) & (y > 0)), r + y, r)
            return np.where(y == 0, 0.0, r)
        return np.where(y == 0, 0, np.mod(x, np.where(y == 0, 1, y))).astype(TYPES[t])
    if op == "pow":
        if isf:
            return np.where(y == 2.0, x * x, power(x, y))
        sq = wrap(t, [p * p for p in X])
        if t == "i64":
            return np.where(y == 2, to_int(t, sq.astype(np.float64)),
                            to_int(t, power(x, y)))
        return np.where(y == 2, sq, to_int(t, power(x, y)))
    if op in ("band", "bor", "bxor"):
        return {"band": x & y, "bor": x | y, "bxor": x ^ y}[op]
    if op in ("shl", "shr"):
        c = [q & (63 if t == "i64" else 31) for q in Y]
        if t == "i64" or op == "shl":
            # left shifts of the 32- or 64-bit field keep the low bits
            f = (lambda p, k: p << k) if op == "shl" else (lambda p, k: p >> k)
            return wrap(t, [f(p, k) for p, k in zip(X, c)])
        # right shifts: u8 logical, signed types arithmetic, in 32 bits
        return wrap(t, [p >> k for p, k in zip(X, c)])
    if op == "max":
        return np.where(x > y, x, y)
    if op == "min":
        return np.where(x < y, x, y)
    if op == "abs":
        if isf:
            return np.where(-y > y, -y, y)
        return wrap(t, [abs(q) for q in Y])
    if op == "sgn":
        if isf:
            return np.where(y >= 0, 1.0, -1.0)
        return np.ones_like(y) if t == "u8" else np.where(y < 0, -1, 1).astype(TYPES[t])
    if op == "sgn0":
        if isf:
            return np.where(y > 0, 1.0, np.where(y == 0, 0.0, -1.0))
        return np.where(y > 0, 1, np.where(y < 0, -1, 0)).astype(TYPES[t])
    raise ValueError(op)


def walk(na, nb, boff, aoff, length, bstride, astride, spans):
    # every (destination, source) position pair the walk visits, in order
    pairs = []
    swapped = spans > length
    outer, inner = (length, spans) if swapped else (spans, length)
    for j in range(max(outer, 0)):
        pa = aoff + j * (1 if swapped else astride)
        pb = boff + j * (1 if swapped else bstride)
        sa, sb = (astride, bstride) if swapped else (1, 1)
        if sa < 1 or sb < 1:
            return []
        for k in range(max(inner, 0)):
            i, m = pa + k * sa, pb + k * sb
            if 0 <= i < na and 0 <= m < nb:
                pairs.append((i, m))
    return pairs


ARITH = ["add", "sub", "mul", "div", "idiv", "mod", "pow"]
BITWISE = ["band", "bor", "bxor", "shl", "shr"]
COMPARE = ["max", "min"]
UNARY = ["abs", "sgn", "sgn0"]
SCALARS = [2, -1, 0, 3, 300, 65535, 2.75, -3.5, 4294967295.0, 1e300]
DEFAULT_WALK = [0, 0, 0x1000000, 1, 1, 1]

lines = []
for op in ARITH + BITWISE + COMPARE + UNARY:
    for t in TYPES:
        if op in BITWISE and t == "f64":
            continue
        forms = ["ab", "as", "sa"] + (["an"] if op in UNARY else [])
        for form in forms:
            for case in range(3):
                na = int(rng.integers(4, 20))
                nb = na if case == 0 else int(rng.integers(4, 20))
                a = values(t, na)
                b = values(t, nb) if form == "ab" else a
                if op in ("shl", "shr") and form == "ab":
                    b[: nb // 2] = rng.integers(-2, 70, nb // 2).astype(TYPES[t])
                s = SCALARS[int(rng.integers(0, len(SCALARS)))]
                p = DEFAULT_WALK if case == 0 else [
                    int(rng.integers(-6, 10)), int(rng.integers(-6, 10)), int(rng.integers(0, 8)),
                    int(rng.integers(-2, 9)), int(rng.integers(-2, 9)), int(rng.integers(0, 8))]
                d = a.copy()
                sv = scalar_in(t, s)
                if form == "ab":
                    pairs = walk(na, nb, *p)
                    xs, ys = [a[i] for i, _ in pairs], [b[m] for _, m in pairs]
                elif form == "an":
                    pairs = walk(na, na, *p)
                    xs, ys = [a[i] for i, _ in pairs], [a[m] for _, m in pairs]
                else:
                    # a scalar has no b offset or b stride
                    pairs = walk(na, 1 << 40, 0, p[1], p[2], 1, p[4], p[5])
                    xs = [a[i] for i, _ in pairs]
                    ys = [sv] * len(xs)
                    if form == "sa":
                        xs, ys = ys, xs
                if pairs:
                    r = rule(op, t, np.array(xs, TYPES[t]), np.array(ys, TYPES[t]))
                    for (i, _), v in zip(pairs, r):
                        d[i] = v
                lines.append("ew %s %s %s %d %d %s %s %r %s %s" % (
                    op, t, form, na, nb, text(t, a), text(t, b), float(s), " ".join(map(str, p)),
                    result(d)))

for t in TYPES:
    for n in (1, 7, 64):
        a = values(t, n)
        lines.append("crc %s %d %s %d" % (t, n, text(t, a), zlib.crc32(a.astype(
            np.dtype(TYPES[t]).newbyteorder("<")).tobytes())))


def f64(a):
    return "userdata('f64', %d, %d, '%s')" % (a.shape[1], a.shape[0], text("f64", a.ravel()))


def num(v):
    return np.array([v], np.float64)


def dense(n, m):
    return rng.uniform(-10, 10, (n, m))


# matmul: running sums in k order, checked against numpy's product.
for ah, aw, bw in ((1, 1, 1), (2, 3, 2), (5, 4, 3), (6, 6, 6), (3, 17, 9)):
    a, b = dense(ah, aw), dense(aw, bw)
    r = np.zeros((ah, bw))
    for i in range(ah):
        for j in range(bw):
            s = 0.0
            for k in range(aw):
                s += a[i, k] * b[k, j]
            r[i, j] = s
    assert np.allclose(r, a @ b, rtol=1e-12, atol=1e-12)
    lines.append("mat return %s:matmul(%s) %s" % (f64(a), f64(b), result(r.ravel())))

# matmul3d with batch 1 (points) and batch 4 (axes and a position).
for rows, vw, batch in ((3, 3, 1), (8, 3, 4), (4, 5, 4), (4, 4, 1)):
    v, m = dense(rows, vw), dense(4, 3)
    r = v.copy()
    for i in range(rows):
        if batch == 1:
            x, y, z = v[i, :3]
            for j in range(3):
                r[i, j] = x * m[0, j] + y * m[1, j] + z * m[2, j] + m[3, j]
        else:
            for j in range(3):
                s = 0.0
                for k in range(min(vw, 4)):
                    s += v[i, k] * m[k, j]
                if i % 4 == 3:
                    s += m[3, j]
                r[i, j] = s
    lines.append("mat return %s:matmul3d(%s, nil, %d) %s" % (f64(v), f64(m), batch, result(r.ravel())))

for rows, batch in ((5, 1), (6, 3)):
    v, m = dense(rows, 2), dense(3, 2)
    r = v.copy()
    for i in range(rows):
        x, y = v[i]
        moved = batch == 1 or i % 3 == 2
        for j in range(2):
            p = x * m[0, j] + y * m[1, j]
            r[i, j] = p + m[2, j] if moved else p
    lines.append("mat return %s:matmul2d(%s, nil, %d) %s" % (f64(v), f64(m), batch, result(r.ravel())))

for n in (3, 10, 33):
    a, b = rng.uniform(-100, 100, n), rng.uniform(-100, 100, n + 2)
    dot = 0.0
    for i in range(n):
        dot += a[i] * b[i]
    assert abs(dot - np.dot(a, b[:n])) < 1e-9
    d32 = (a - b[:n]).astype(np.float32)
    sq = d32 * d32
    dist = 0.0
    for v in sq:
        dist += float(v)
    mag = 0.0
    for v in a:
        mag += v * v
    va, vb = "vec(%s)" % text("f64", a), "vec(%s)" % text("f64", b)
    lines.append("mat return vec(%s:dot(%s)) %s" % (va, vb, result(num(dot))))
    lines.append("mat return vec(%s:distance(%s)) %s" % (va, vb, result(num(np.sqrt(dist)))))
    lines.append("mat return vec(%s:magnitude()) %s" % (va, result(num(np.sqrt(mag)))))
    ca, cb = a[:3], b[:3]
    lines.append("mat return %s:cross(%s) %s" % (va, vb, result(np.concatenate(
        [np.array([ca[1] * cb[2] - ca[2] * cb[1], ca[2] * cb[0] - ca[0] * cb[2],
                   ca[0] * cb[1] - ca[1] * cb[0]]), b[3:]]))))

for t in TYPES:
    h, w = int(rng.integers(1, 6)), int(rng.integers(1, 6))
    a = values(t, w * h).reshape(h, w)
    src = "userdata('%s', %d, %d, '%s')" % (t, w, h, text(t, a.ravel()))
    lines.append("mat return %s:transpose() %s" % (src, result(a.T.copy().ravel())))
    # lerp over each row, ends kept, the inside interpolated in doubles
    r = a.copy()
    for y in range(h):
        e0, e1 = float(a[y, 0]), float(a[y, w - 1])
        for k in range(1, w - 1):
            v = (e1 - e0) * k / (w - 1) + e0
            r[y, k] = v if t == "f64" else to_int("i64", [v]).astype(np.int64)[0].astype(TYPES[t])
    if w >= 3:
        lines.append("mat return %s:lerp() %s" % (src, result(r.ravel())))

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden", "elementwise.txt")
with open(out, "w") as f:
    f.write("\n".join(lines) + "\n")
