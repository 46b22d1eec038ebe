#!/usr/bin/python3
"""Checks the dialect's interpreter against independent references: Debian's
lua5.4 on stock code (a corpus and seeded random expression programs), each
dialect form against its hand-desugared stock twin, binary numerals and
integer division against Python, instruction counts against lua5.4, the
switch dispatch against the jump table, the corpus under a tiny budget, and
hook traces under small budgets.

usage: reference_check.py MODE BINDIR   (MODE: stock, twins, numerals,
division, counts, dispatch, budget, traces, alloc, opcodes)"""
import os
import random
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = sorted(os.path.join(HERE, "corpus", f) for f in os.listdir(os.path.join(HERE, "corpus")))
TRACES = sorted(os.path.join(HERE, "traces", f) for f in os.listdir(os.path.join(HERE, "traces")))
STOCK = "/usr/bin/lua5.4"


TMP = tempfile.mkdtemp(prefix="kvd_lang_")


def run(exe, code=None, path=None, env=None):
    """Runs a program file (or code, always written to the same file name so
    that messages agree between interpreters); returns (stdout, result)."""
    if path is None:
        path = os.path.join(TMP, "prog.lua")
        with open(path, "w") as f:
            f.write(code)
    e = dict(os.environ)
    e.update(env or {})
    r = subprocess.run([exe, os.path.basename(path)], capture_output=True, text=True, env=e,
                       timeout=600, cwd=os.path.dirname(path))
    return r.stdout, r


failures = []


def expect_equal(what, got, want):
    if got != want:
        failures.append(what)
        print(f"MISMATCH {what}\n--- got\n{got[:2000]}\n--- want\n{want[:2000]}")


def random_expression(rng, depth=0):
    if depth > 3 or rng.random() < 0.25:
        k = rng.random()
        if k < 0.5:
            return str(rng.randint(-1000, 1000))
        if k < 0.7:
            return str(rng.randint(-2**63, 2**63 - 1)).replace("-9223372036854775808", "math.mininteger")
        if k < 0.9:
            return repr(rng.uniform(-100, 100))
        return rng.choice(["a", "b", "c"])
    op = rng.choice(["+", "-", "*", "/", "//", "%", "^", "&", "|", "~", "<<", ">>", "..", "==", "<", "unm", "cmp"])
    x = random_expression(rng, depth + 1)
    y = random_expression(rng, depth + 1)
    if op in ("//", "%"):  # divisors never zero: stock raises where the dialect does not
        return f"({x}) {op} nz({y})"
    if op in ("&", "|", "~", "<<", ">>"):
        return f"(toint({x}) {op} toint({y}))"
    if op == "..":
        return f"(tostring({x}) .. tostring({y}))"
    if op == "unm":
        return f"(-({x}))"
    if op == "cmp":
        return f"(({x}) <= ({y}) and 1 or 0)"
    if op in ("==", "<"):
        return f"(({x}) {op} ({y}) and 1 or 0)"
    return f"(({x}) {op} ({y}))"


PRELUDE = """
local a, b, c = 7, -3, 2.5
local function nz(v) if type(v) ~= 'number' then v = tonumber(v) or 1 end
  if v == 0 or v ~= v then return 1 end return v end
local function toint(v) v = tonumber(v) or 0 if math.type(v) == 'float' then
  if v ~= v or v >= 2^63 or v < -2^63 then return 0 end return math.floor(v) end return v end
local function show(v) if math.type(v) == 'float' then return string.format('%.17g', v) end return tostring(v) end
"""


def mode_stock(bindir):
    luai = os.path.join(bindir, "tests", "kvd_luai")
    for path in CORPUS:
        got = subprocess.run([luai, path], capture_output=True, text=True, cwd=os.path.dirname(path)).stdout
        want = subprocess.run([STOCK, path], capture_output=True, text=True, cwd=os.path.dirname(path)).stdout
        expect_equal(f"corpus {os.path.basename(path)}", got, want)
    # A chunk precompiled by stock Lua is refused, not run with misread opcodes.
    chunk = os.path.join(TMP, "stock.luac")
    subprocess.run([STOCK, "-e", f"io.open({chunk!r}, 'wb'):write(string.dump(function() return 6 * 7 end))"],
                   check=True)
    got, _ = run(luai, f"print(load(io.open({chunk!r}, 'rb'):read('a')))")
    expect_equal("stock chunk", got, "nil\tbinary string: bad binary format (format mismatch)\n")
    rng = random.Random(20261210)
    for prog in range(40):
        lines = [PRELUDE]
        for _ in range(50):
            lines.append(f"print(pcall(function() return show({random_expression(rng)}) end))")
        code = "\n".join(lines)
        got, _ = run(luai, code)
        want, _ = run(STOCK, code)
        expect_equal(f"random program {prog}", got, want)


# Each dialect form beside its hand-desugared stock twin.
LOG = """
local log = {}
local function L(name, v) log[#log + 1] = name return v end
local mt = {__index = function(t, k) log[#log + 1] = 'get ' .. k return rawget(t, '_' .. k) end,
            __newindex = function(t, k, v) log[#log + 1] = 'set ' .. k .. '=' .. tostring(v) rawset(t, '_' .. k, v) end}
local t = setmetatable({_x = 5, _s = 'a'}, mt)
local u = {inner = t}
"""
TWINS = [
    ("L('t', t)[L('k', 'x')] += L('rhs', 2)",
     "do local tt, kk = L('t', t), L('k', 'x') tt[kk] = tt[kk] + L('rhs', 2) end"),
    ("L('u', u).inner.x *= L('rhs', 3) + 1",
     "do local tt = L('u', u).inner tt.x = tt.x * (L('rhs', 3) + 1) end"),
    ("t.s ..= L('rhs', 'b') .. 'c'", "t.s = t.s .. (L('rhs', 'b') .. 'c')"),
    ("t.x ^^= 6 t.x <<= 2 t.x >>= 1 t.x &= 0xFF t.x |= 1 t.x \\= 2 t.x %= 7 t.x -= 1",
     "t.x = t.x ~ 6 t.x = t.x << 2 t.x = t.x >> 1 t.x = t.x & 0xFF t.x = t.x | 1 t.x = t.x // 2 t.x = t.x % 7 t.x = t.x - 1"),
    ("t.x /= 4 t.x ^= 2", "t.x = t.x / 4 t.x = t.x ^ 2"),
    ("if (t.x) L('then', 1) else L('else', 2)\nL('after', 3)",
     "if t.x then L('then', 1) else L('else', 2) end\nL('after', 3)"),
    ("local i = 0 while (i < 5) i += 1 L('i', i)\nL('done', i)",
     "local i = 0 while i < 5 do i = i + 1 L('i', i) end\nL('done', i)"),
    ("if (false) L('no', 1) elseif t.x then L('elseif', 2)\n",
     "if false then L('no', 1) elseif t.x then L('elseif', 2) end\n"),
    ("?'p', 1, t.x\n?\n", "print('p', 1, t.x)\nprint()\n"),
    ("print(1 != 2, 3 != 3, 7 \\ 2, 7.5 \\ 2, 5 ^^ 9, ^^5)", "print(1 ~= 2, 3 ~= 3, 7 // 2, 7.5 // 2, 5 ~ 9, ~5)"),
    ("print(0b1011, 0B0, 0b1.01, -0b111, 0b1111111111111111111111111111111111111111111111111111111111111111)",
     "print(11, 0, 1.25, -7, -1)"),
    ("print(('\\*\\#\\-\\|\\+\\^'):byte(1, -1))", "print(('\\1\\2\\3\\4\\5\\6'):byte(1, -1))"),
    # One location read and written, fixed before the right-hand side runs,
    # also when that reassigns a local table or key.
    ("local a, i = {10, 20, 30}, 1 local function bump() i = i + 1 return 100 end\n"
     "a[i] += bump() a[i] -= L('rhs', 1) print(a[1], a[2], a[3], i)",
     "local a, i = {10, 20, 30}, 1 local function bump() i = i + 1 return 100 end\n"
     "do local tt, kk = a, i tt[kk] = tt[kk] + bump() end a[i] = a[i] - L('rhs', 1) print(a[1], a[2], a[3], i)"),
    ("local a = {1, n = 2} local b = a local function re() a = {n = 0} return 5 end\n"
     "a[1] += re() a.n *= re() print(b[1], b.n, a[1], a.n)",
     "local a = {1, n = 2} local b = a local function re() a = {n = 0} return 5 end\n"
     "do local tt = a tt[1] = tt[1] + re() end do local tt = a tt.n = tt.n * re() end print(b[1], b.n, a[1], a.n)"),
    # An upvalue table is fixed before the right-hand side too.
    ("local a = {x = 1, 1} local b = a local function re() a = {x = 0, 0} return 5 end\n"
     "local function up() a.x += re() a.x -= 1 a[1] *= re() end up() print(b.x, b[1], a.x, a[1])",
     "local a = {x = 1, 1} local b = a local function re() a = {x = 0, 0} return 5 end\n"
     "local function up() do local tt = a tt.x = tt.x + re() end a.x = a.x - 1 do local tt = a tt[1] = tt[1] * re() end end\n"
     "up() print(b.x, b[1], a.x, a[1])"),
    # Errors name the variables of the plain assignment, on its line.
    ("print(pcall(function() player.x += 1 end)) print(pcall(function() local q = {} q.a.b += 1 end))\n"
     "local p = setmetatable({}, {__index = function() return 1 end, __newindex = function(_, k) error('store ' .. k, 2) end})\n"
     "print(pcall(function() local q, k = p, 1\nq[k] += 1\nlocal z = 0 end))",
     "print(pcall(function() player.x = player.x + 1 end)) print(pcall(function() local q = {} q.a.b = q.a.b + 1 end))\n"
     "local p = setmetatable({}, {__index = function() return 1 end, __newindex = function(_, k) error('store ' .. k, 2) end})\n"
     "print(pcall(function() local q, k = p, 1\nq[k] = q[k] + 1\nlocal z = 0 end))"),
    # No hidden locals: no limit on their number, no scope for a goto to enter.
    ("local function many()\n" + "u.inner.x += 1\n" * 260 + "end many()\n"
     "do goto skip\nu.inner.x += 1\n::skip::\nL('after', 1) end",
     "local function many()\n" + "u.inner.x = u.inner.x + 1\n" * 260 + "end many()\n"
     "do goto skip\nu.inner.x = u.inner.x + 1\n::skip::\nL('after', 1) end"),
]


def mode_twins(bindir):
    luai = os.path.join(bindir, "tests", "kvd_luai")
    for i, (dialect, stock) in enumerate(TWINS):
        tail = "\nprint(table.concat(log, ','))\nfor k, v in pairs(t) do end print(rawget(t, '_x'), rawget(t, '_s'))\n"
        got, r = run(luai, LOG + dialect + tail)
        want, _ = run(STOCK, LOG + stock + tail)
        expect_equal(f"twin {i}: {dialect!r} {r.stderr}", got, want)


def lua_float_hex(s):
    return float.fromhex(s.strip())


def mode_numerals(bindir):
    luai = os.path.join(bindir, "tests", "kvd_luai")
    rng = random.Random(7)
    ints, floats = [], []
    for _ in range(300):
        ints.append("".join(rng.choice("01") for _ in range(rng.randint(1, 70))))
    for _ in range(300):
        whole = "".join(rng.choice("01") for _ in range(rng.randint(0, 30)))
        frac = "".join(rng.choice("01") for _ in range(rng.randint(0, 30)))
        exp = rng.randint(-40, 40)
        floats.append((whole, frac, exp))
    code = ["local function f(s) local v = tonumber(s) return math.type(v) == 'float' and string.format('%a', v) or tostring(v) end"]
    for s in ints:
        code.append(f"print(f('0b{s}'), 0b{s})")
    for whole, frac, exp in floats:
        code.append(f"print(f('0b{whole}.{frac}p{exp}'))" if whole + frac else "print('nil')")
    out, r = run(luai, "\n".join(code))
    lines = out.splitlines()
    if len(lines) != len(ints) + len(floats):
        failures.append("numerals: output length")
        print(out, r.stderr)
        return
    for s, line in zip(ints, lines):
        v = int(s, 2) & (2**64 - 1)
        if v >= 2**63:
            v -= 2**64
        expect_equal(f"binary integer {s}", line, f"{v}\t{v}")
    for (whole, frac, exp), line in zip(floats, lines[len(ints):]):
        if not whole + frac:
            continue
        digits = (whole + frac).lstrip("0")
        if len(digits) <= 53:  # exact in a double: Python's reading is the reference
            want = float(int(whole + frac or "0", 2)) * 2.0 ** (exp - len(frac)) if digits else 0.0
            want = float.hex(want)
        else:  # accumulated digit by digit in double precision, then scaled
            acc, e = 0.0, exp - len(frac)
            for i, d in enumerate(digits):
                if i < 64:
                    acc = acc * 2 + int(d)
                else:
                    e += 1
            import math
            want = float.hex(math.ldexp(acc, e))
        expect_equal(f"binary float 0b{whole}.{frac}p{exp}", float.hex(lua_float_hex(line)), want)


def mode_division(bindir):
    luai = os.path.join(bindir, "tests", "kvd_luai")
    rng = random.Random(11)
    pairs = []
    for _ in range(2000):
        m = rng.choice([rng.randint(-2**63, 2**63 - 1), rng.randint(-100, 100), -2**63])
        n = rng.choice([rng.randint(-2**63, 2**63 - 1), rng.randint(-100, 100), -1, 0, 1])
        pairs.append((m, n))
    lit = lambda v: "math.mininteger" if v == -2**63 else str(v)
    code = "\n".join(f"do local m, n = {lit(m)}, {lit(n)} print(m // n, m % n) end" for m, n in pairs)
    out, _ = run(luai, code)
    for (m, n), line in zip(pairs, out.splitlines()):
        if n == 0:
            q, r = (-(2**63 - 1) if m < 0 else 2**63 - 1), 0
        else:
            q, r = m // n, m % n
            if q == 2**63:
                q = -2**63  # mininteger // -1 wraps around
        expect_equal(f"{m} // {n}, {m} % {n}", line, f"{q}\t{r}")


def mode_counts(bindir):
    """Instructions executed (count hook) equal stock Lua's on stock code."""
    luai = os.path.join(bindir, "tests", "kvd_luai")
    for path in CORPUS:
        code = (f"local n = 0 debug.sethook(function() n = n + 1 end, '', 1) "
                f"dofile({path!r}) debug.sethook() io.stderr:write('count ', n, '\\n')")
        _, got = run(luai, code)
        _, want = run(STOCK, code)
        expect_equal(f"instruction count {os.path.basename(path)}", got.stderr, want.stderr)


def mode_dispatch(bindir):
    """Jump table and switch dispatch agree on every program."""
    luai = os.path.join(bindir, "tests", "kvd_luai")
    switch = os.path.join(bindir, "tests", "kvd_luai_switch")
    programs = [(os.path.basename(p), open(p).read()) for p in CORPUS]
    programs += [(f"twin {i}", LOG + d + "\nprint(table.concat(log, ','))") for i, (d, _) in enumerate(TWINS)]
    programs.append(("memory reads", "local a = 0x5000 print(@a, %a, $a, *a, @a + 1, 7 // 0, 7 % 0, pcall(function() return @'x' end))"))
    for name, code in programs:
        a, _ = run(luai, code)
        b, _ = run(switch, code)
        expect_equal(f"dispatch {name}", b, a)


def mode_budget(bindir):
    """The corpus as a resumed thread with a budget of 37 cycles and periodic
    full collections, on the build with Lua's internal assertions."""
    stress = os.path.join(bindir, "tests", "kvd_luai_assert")
    for path in CORPUS:
        r = subprocess.run([stress, path], capture_output=True, text=True, cwd=os.path.dirname(path),
                           env=dict(os.environ, KVD_LUAI_BUDGET="37"), timeout=600)
        if os.path.basename(path) == "coroutines.lua":
            # A forced yield inside a coroutine reaches its resumer as an empty
            # resume, so the output differs; it must still run to its end
            # without an assertion failing.
            if r.returncode != 0 or "forced yields: " not in r.stderr:
                failures.append(f"budget {os.path.basename(path)}: {r.returncode} {r.stderr.strip()}")
            continue
        want = subprocess.run([STOCK, path], capture_output=True, text=True, cwd=os.path.dirname(path)).stdout
        expect_equal(f"budget {os.path.basename(path)} ({r.stderr.strip()})", r.stdout, want)
        if "forced yields: " not in r.stderr or int(r.stderr.split("forced yields: ")[1]) < 100:
            failures.append(f"budget {path}: too few forced yields")


def mode_traces(bindir):
    """Hook traces (the programs in traces/) under seeded random small
    budgets on the assertion build, and unbudgeted, equal lua5.4's: a forced
    yield is invisible to line, count and call hooks."""
    rng = random.Random(20261211)
    builds = [("kvd_luai", None)] + [("kvd_luai_assert", str(rng.randint(1, 60))) for _ in range(4)]
    for path in TRACES:
        want = subprocess.run([STOCK, path], capture_output=True, text=True, cwd=os.path.dirname(path)).stdout
        for exe, budget in builds:
            env = dict(os.environ, KVD_LUAI_BUDGET=budget) if budget else None
            r = subprocess.run([os.path.join(bindir, "tests", exe), path], capture_output=True, text=True,
                               cwd=os.path.dirname(path), env=env, timeout=600)
            expect_equal(f"traces {os.path.basename(path)} budget {budget} ({r.stderr.strip()})", r.stdout, want)


def mode_alloc(bindir):
    """The allocator sees the same calls as in the unpatched build; only the
    dialect's build adds the retry flag and the accounted size."""
    patched = os.path.join(bindir, "tests", "kvd_alloc_trace")
    ref = os.path.join(bindir, "tests", "kvd_alloc_trace_ref")
    for path in CORPUS:
        _, r1 = run(patched, path=path)
        _, r2 = run(ref, path=path)
        got, want = r1.stderr, r2.stderr
        calls = [line.split(" | ") for line in got.splitlines()]
        expect_equal(f"alloc sequence {os.path.basename(path)}", "\n".join(c[0] for c in calls), want.rstrip("\n"))
        for call, extra in calls:
            kind, *sizes = call.split()
            retry, acct = map(int, extra.split())
            if retry != 0:
                failures.append(f"retry without failure: {call}")
            if kind == "free" and acct != 0:
                failures.append(f"free charged: {call} | {extra}")
            if kind == "new" and int(sizes[0]) == 4 and acct != int(sizes[1]) + 7:
                failures.append(f"string not charged len + 32: {call} | {extra}")


OPCODE_PROGRAM = """
local up, t, s = 0, {10, 20, 30, x = 1}, 'ab'
local function f(...)
  local a, b, c = ...
  local n = select('#', ...)
  up = up + n
  return a, b, c
end
local function tail(x) return f(x, x) end
local function one(x) return x end
local function none() end
local obj = {v = 3}
function obj:get(k) return self.v + k end
local x, y, fl = 7, 3, 2.5
local r = {x + y, x - y, x * y, x % y, x ^ y, x / y, x // y, x & y, x | y, x ~ y, x << y, x >> y,
  x + 1, x - 1.5, x * 2, x % 4, x ^ 2, x / 2, x // 2, x & 6, x | 8, x ~ 5, x >> 1, 1 << x, 2 << x,
  -x, ~x, not x, #s, s .. x, x == y, x < y, x <= y, x == 7, x == 'z', x < 9, x <= 9, x > 1, x >= 1,
  fl + 1.5, fl * 1.5, fl % 1.5, fl / 4.0, fl // 1.5, t[1], t.x, t[x - 6], obj:get(1), one(5), tail(4),
  x > y and 'big' or 'small', x < y, x ~= y}
t[4] = true t.y = false t[x] = nil t[s] = 1.0
GLOBAL = r[1]
local g = GLOBAL
for i = 1, 3 do up = up + i end
for k, v in ipairs({5, 6}) do up = up + k * v end
do
  local c <close> = setmetatable({}, {__close = function() up = up + 100 end})
  local cl = function() return c end
  up = up + (cl() and 1 or 0)
end
while true do local z = up local h = function() return z end if h() then break end end
local m = 0x5000
local p = {@m, %m, $m, *m}
local v = {f(1, 2, 3)}
local q, bf, n1, n2 = 1.0, false
local ts = x or y
v[#v + 1] = ts + q
none()
-- arithmetic that falls through to its metamethod instruction (MMBIN, MMBINI, MMBINK)
local mo = setmetatable({}, {__add = function(a, b) return 'add' end, __mul = function(a, b) return 'mul' end})
print(mo + x, mo + 1, mo * 2)
print(up, g, #r, #v, table.concat(p, ','), obj:get(2))
for i = 1, #r do io.write(tostring(r[i]), ' ') end print()
return 1
"""


def mode_opcodes(bindir):
    """A program that uses every opcode (checked in the compiler's listing),
    running every one but EXTRAARG (read by LOADKX), runs alike under the
    jump table and the switch dispatch."""
    names = re.findall(r'"([A-Z0-9]+)"', open(os.path.join(bindir, "lua", "src", "lopnames.h")).read())
    if len(names) != 87:
        failures.append(f"{len(names)} opcode names")
    # LOADKX needs more constants than an instruction can index.
    bulk = "local k = {" + ",".join(f"{i}.5" for i in range(132000)) + "}\nlocal kx = 0.25\n"
    path = os.path.join(TMP, "opcodes.lua")
    with open(path, "w") as f:
        f.write("local function bulk() " + bulk + " return kx end\n" + OPCODE_PROGRAM.replace("return 1", "print(bulk()) return 1"))
    listing = subprocess.run([os.path.join(bindir, "tests", "kvd_luac"), "-l", "-p", path],
                             capture_output=True, text=True).stdout
    used = set(re.findall(r"\t([A-Z][A-Z0-9]+)\s", listing))
    missing = [n for n in names if n not in used]
    if missing:
        failures.append(f"opcodes not covered: {missing}")
        print("missing", missing)
    a, ra = run(os.path.join(bindir, "tests", "kvd_luai"), path=path)
    b, rb = run(os.path.join(bindir, "tests", "kvd_luai_switch"), path=path)
    expect_equal(f"opcodes under both dispatch paths {ra.stderr}", b, a)
    if ra.returncode != 0 or not a:
        failures.append(f"opcode program failed: {ra.stderr}")


if __name__ == "__main__":
    mode, bindir = sys.argv[1], sys.argv[2]
    globals()["mode_" + mode](bindir)
    if failures:
        print(f"{len(failures)} failures")
        sys.exit(1)
    print("ok")
