// Ordinary work on the largest records: each call succeeds at the start of
// a slice, however much it charges, with numpy's result (the CRC-32 of the
// result's bytes, from Python's zlib); the key lookup of an indexed convert
// takes about what a plain convert of the same record takes.
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cpu_clock.h"
#include "tests/userdata/ud_lua_fixture.h"

namespace {

std::string run_python(const std::string &prog) {
  const char *py = getenv("KVD_PYTHON");
  std::string path = testing::TempDir() + "kvd_ud_ordinary_" + std::to_string(getpid()) + ".py";
  std::ofstream(path) << prog;
  std::string out = command_output(std::string(py) + " " + path);
  unlink(path.c_str());
  return out;
}

// The pattern every record is made of: 65536 values (k * 7919 + (k >> 8) *
// 31) % m for k = 0, 1, ..., made in Lua once and repeated by copy to fill
// the record.
const char *const lua_helpers = R"(
function PATTERN(t, m, n, w, h)
  local r = userdata(t, 65536)
  for k = 0, 65535 do r[k] = (k * 7919 + (k >> 8) * 31) % m end
  local u = h and userdata(t, w, h) or userdata(t, n)
  u:copy(r, true, 0, 0, 65536, 0, 65536, (#u + 65535) // 65536)
  return u
end
)";
const char *const py_helpers = R"(
import zlib
import numpy as np
def pattern(t, m, n):
    k = np.arange(65536, dtype=np.int64)
    return np.resize((k * 7919 + (k >> 8) * 31) % m, n).astype(t)
def crc(a):
    return zlib.crc32(np.ascontiguousarray(a).tobytes())
def lerp_rows(a, w):
    rows = a.reshape(-1, w).astype(np.float64)
    out = a.reshape(-1, w).copy()
    k = np.arange(1, w - 1, dtype=np.float64)
    for r in range(rows.shape[0]):
        x0, d = rows[r, 0], rows[r, w - 1] - rows[r, 0]
        out[r, 1:w - 1] = (np.trunc(d * k / (w - 1) + x0).astype(np.int64) & 255).astype(a.dtype)
    return out
def indexed(a):
    keys, first = np.unique(a, return_index=True)
    order = np.argsort(first, kind='stable')
    palette = keys[order][:256]
    lookup = {int(v): i for i, v in enumerate(palette)}
    index = np.array([lookup.get(int(v), 255) for v in keys], dtype=np.int64)
    return index[np.searchsorted(keys, a)].astype(np.uint8), palette
)";

struct ordinary_case {
  const char *setup;   // Lua: makes the operands
  const char *call;    // the method and its arguments, as for `charged`
  const char *result;  // Lua: the record whose bytes are compared
  const char *numpy;   // Python: an expression for the same record
};

// Runs CALL from C in a fresh slice, so that only the method itself counts
// against the bound: "ok", or the error.
std::string call_in_fresh_slice(ud_methods &t, const std::string &call) {
  lua_State *L = t.root->L;
  int top = lua_gettop(L);
  int n = push_packed_call(t, call);
  int32_t saved_max = cpu_budget.cycles_max;
  cpu_budget.cycles = 0;
  cpu_budget.cycles_max = CPU_CYCLES_PER_FRAME;
  int rc = lua_pcall(L, n - 1, 0, 0);
  cpu_budget.cycles_max = saved_max;
  cpu_budget.cycles = 0;
  std::string got = rc == LUA_OK ? "ok" : lua_tostring(L, -1);
  lua_settop(L, top);
  return got;
}

TEST_F(ud_methods, OrdinaryWorkOnTheLargestRecordsSucceeds) {
  if (!getenv("KVD_PYTHON")) GTEST_SKIP() << "run through ctest";
  const ordinary_case cases[] = {
      {"U = PATTERN('u8', 256, 0, 4096, 4096)", "USERDATA.max, U, 9, true", "U",
       "np.maximum(pattern(np.uint8, 256, 1 << 24), 9)"},
      {"U = PATTERN('u8', 256, 0, 4096, 4096)", "USERDATA.abs, U, nil, true", "U",
       "pattern(np.uint8, 256, 1 << 24)"},
      {"U = PATTERN('u8', 256, 0, 4096, 4096)", "USERDATA.lerp, U", "U",
       "lerp_rows(pattern(np.uint8, 256, 1 << 24), 4096)"},
      {"U = PATTERN('u8', 256, 0, 4096, 4096)", "USERDATA.sgn0, U, nil, true", "U",
       "np.minimum(pattern(np.uint8, 256, 1 << 24), 1)"},
      // The whole memory out and back in.
      {"U = PATTERN('u8', 256, 1 << 24) U:poke(0) U:clear()", "USERDATA.peek, U, 0", "U",
       "pattern(np.uint8, 256, 1 << 24)"},
      // Sorts that never fail: a million-odd doubles, every byte of memory,
      // rows of two bytes by their second (stable, as numpy's is).
      {"F = PATTERN('f64', 100003, 1 << 20) F:mul(0.5, true) F:sub(7, true)", "USERDATA.sort, F",
       "F", "np.sort(pattern(np.float64, 100003, 1 << 20) * 0.5 - 7)"},
      {"F = PATTERN('f64', 100003, 1 << 21) F:mul(-0.5, true)", "USERDATA.sort, F", "F",
       "np.sort(pattern(np.float64, 100003, 1 << 21) * -0.5)"},
      {"U = PATTERN('u8', 256, 1 << 24)", "USERDATA.sort, U", "U",
       "np.sort(pattern(np.uint8, 256, 1 << 24))"},
      {"U = PATTERN('u8', 256, 0, 2, 1 << 23)", "USERDATA.sort, U, 1, true", "U",
       "(lambda a: a[np.argsort(-a[:, 1].astype(np.int64), kind='stable')])("
       "pattern(np.uint8, 256, 1 << 24).reshape(-1, 2))"},
      // Keys the comparators find equal keep their order: -0.0 and 0.0, and
      // NaNs of either sign (which go past the infinities, as numpy's do).
      {"F = userdata('f64', 2, 10) local b = {0, -1 << 63, 0x7ff8000000000001, -0x8000000000000, "
       "0x7ff0000000000000, -0x10000000000000, 1, -1 << 63, 0, 0x7ff8000000000002} "
       "for i = 0, 19 do F[i] = i % 2 == 1 and i or string.unpack('d', string.pack('i8', b[i // 2 "
       "+ "
       "1])) end",
       "USERDATA.sort, F", "F",
       "(lambda a: a[np.argsort(a[:, 0], kind='stable')])(np.array([[b, i * 2 + 1] for i, b in "
       "enumerate(np.array([0, -1 << 63, 0x7ff8000000000001, -0x8000000000000, 0x7ff0000000000000, "
       "-0x10000000000000, 1, -1 << 63, 0, 0x7ff8000000000002], "
       "dtype=np.int64).view(np.float64))]))"},
      {"I = PATTERN('i64', 1 << 40, 1 << 21) I:mul(2654435761, true)", "USERDATA.sort, I", "I",
       "np.sort(pattern(np.int64, 1 << 40, 1 << 21) * np.int64(2654435761))"},
      // A double modulo of a whole record by a small number.
      {"F = PATTERN('f64', 100003, 1 << 21) F:mul(0.37, true)", "USERDATA.mod, F, 3, true", "F",
       "np.fmod(pattern(np.float64, 100003, 1 << 21) * 0.37, 3)"},
      {"M = PATTERN('f64', 17, 0, 300, 300) M:sub(8, true)", "USERDATA.matmul, M, M, true", "M",
       "(lambda m: m @ m)((pattern(np.float64, 17, 90000) - 8).reshape(300, 300))"},
      {"M = PATTERN('f64', 17, 0, 400, 400) M:sub(8, true)", "USERDATA.matmul, M, M, true", "M",
       "(lambda m: m @ m)((pattern(np.float64, 17, 160000) - 8).reshape(400, 400))"},
  };
  std::string lua_crcs, py = py_helpers;
  for (const auto &c : cases) {
    cpu_budget.cycles_max = CPU_OUTSIDE_SLICE;
    root_eval(std::string(lua_helpers) + "U, F, I, M = nil collectgarbage() " + c.setup);
    EXPECT_EQ(call_in_fresh_slice(*this, c.call), "ok") << c.call;
    lua_crcs += root_eval(std::string("return ") + c.result + ":crc()") + "\n";
    py += std::string("print(crc(") + c.numpy + "))\n";
  }
  root_eval("U, F, I, M = nil collectgarbage()");
  std::string want = run_python(py);
  std::istringstream ours(lua_crcs), theirs(want);
  for (const auto &c : cases) {
    std::string a, b;
    std::getline(ours, a);
    std::getline(theirs, b);
    EXPECT_EQ(a, b) << c.call << " after " << c.setup;
  }
}

// Every element's key is found in constant time: an i16 image of 1000
// distinct values becomes its index image in about the time a plain
// conversion of it takes (a search of up to 256 keys an element took a
// hundred times as long), with numpy's indices and palette.
TEST_F(ud_methods, IndexedConvertFindsEachKeyAtOnce) {
  if (!getenv("KVD_PYTHON")) GTEST_SKIP() << "run through ctest";
  root_eval(std::string(lua_helpers) + "I = PATTERN('i16', 1000, 0, 4096, 2048)");
  auto timed = [&](const char *call) {
    // The first of each makes the host memory the second reuses.
    double best = 1e9;
    for (int i = 0; i < 2; i++) {
      root_eval("collectgarbage()");
      double start = thread_cpu_ms();
      EXPECT_EQ(call_in_fresh_slice(*this, call), "ok") << call;
      best = std::min(best, thread_cpu_ms() - start);
    }
    return best;
  };
  double plain = timed("USERDATA.convert, I, 'u8'");
  double indexed = timed("USERDATA.convert, I, 'u8', true");
  EXPECT_LT(indexed, 4 * plain + 30) << "plain " << plain << " ms";
  std::string ours =
      root_eval("local i, p = I:convert('u8', true) return i:crc() .. ' ' .. p:crc() .. ' ' .. #p");
  std::string want = run_python(std::string(py_helpers) +
                                "i, p = indexed(pattern(np.int16, 1000, 1 << 23))\n"
                                "print(crc(i), crc(p.astype(np.int16)), len(p))\n");
  EXPECT_EQ(ours + "\n", want);
  root_eval("I = nil collectgarbage()");
}

}  // namespace
