// Element-wise add and mul and the matrix product on large f64 records, and
// u8 add in place and copy on 1M-element records, called as a process calls
// them, beside a plain C++ loop over the same arrays in the same run and,
// for the u8 pair, numpy's own figures (measured by python3 when it has
// numpy). Prints each operation's time over its yardstick's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "machine/alloc.h"
#include "lang/lua_api.h"
#include "userdata/udata.h"
#include "gfx/ud_metatable.h"
#include "tools/bench/bench_ratio.h"

namespace {

constexpr int N = 1 << 20;  // elements of the element-wise records (8 MiB each)
constexpr int MAT = 192;    // rows and columns of the matrices

const char *const setup_code = R"(
  A = userdata('f64', 1048576) B = userdata('f64', 1048576) C = userdata('f64', 1048576)
  for i = 0, #A - 1 do A[i] = i * 0.5 + 1 B[i] = 3 - i * 0.25 end
  MA = userdata('f64', 192, 192) MB = userdata('f64', 192, 192) MC = userdata('f64', 192, 192)
  for i = 0, #MA - 1 do MA[i] = (i % 17) * 0.5 MB[i] = (i % 13) - 6 end
  UA = userdata('u8', 1048576) UB = userdata('u8', 1048576)
  for i = 0, #UA - 1 do UA[i] = i * 7 UB[i] = i * 13 + 5 end
  calls = {
    u8_add_in_place = function() UA:add(UB, true) end,
    u8_add_scalar_in_place = function() UA:add(3, true) end,
    u8_copy = function() UA:copy(UB, true) end,
    add_into = function() A:add(B, C) end,
    add_new = function() return A + B end,
    mul_into = function() A:mul(B, C) end,
    mul_new = function() return A * B end,
    matmul_into = function() MA:matmul(MB, MC) end,
  }
)";

lua_State *state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    lua_register(s, "userdata", lua54_userdata);
    add_userdata_metatable_functions(s);
    if (luaL_dostring(s, setup_code) != LUA_OK) {
      std::fprintf(stderr, "setup: %s\n", lua_tostring(s, -1));
      std::exit(1);
    }
    return s;
  }();
  return L;
}

template <class T = double>
T *elements(const char *global) {
  lua_State *L = state();
  lua_getglobal(L, global);
  T *e = reinterpret_cast<T *>(udata_elements(to_udata(L, -1)));
  lua_pop(L, 1);
  return e;
}

// The u8 pair as plain loops over the same records.
void bench_plain_u8_add(benchmark::State &st) {
  uint8_t *a = elements<uint8_t>("UA");
  const uint8_t *b = elements<uint8_t>("UB");
  for (auto _ : st) {
    for (int i = 0; i < N; i++) a[i] = uint8_t(a[i] + b[i]);
    benchmark::DoNotOptimize(a);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * N);
}

void bench_plain_u8_add_scalar(benchmark::State &st) {
  uint8_t *a = elements<uint8_t>("UA");
  for (auto _ : st) {
    for (int i = 0; i < N; i++) a[i] = uint8_t(a[i] + 3);
    benchmark::DoNotOptimize(a);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * N);
}

void bench_plain_u8_copy(benchmark::State &st) {
  uint8_t *a = elements<uint8_t>("UA");
  const uint8_t *b = elements<uint8_t>("UB");
  for (auto _ : st) {
    std::memcpy(a, b, N);
    benchmark::DoNotOptimize(a);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * N);
}

// numpy's elements a second for `a += b`, `a += 3` and `np.copyto(a, b)` on 1M u8
// elements (best of five), or 0 when python3 or numpy is missing.
struct numpy_rates {
  double add = 0, add_scalar = 0, copy = 0;
};
numpy_rates measure_numpy() {
  const char *code =
      "import timeit\n"
      "import numpy as np\n"
      "a = np.zeros(1 << 20, np.uint8); b = np.arange(1 << 20).astype(np.uint8)\n"
      "def add(): np.add(a, b, out=a)\n"
      "def add_scalar(): np.add(a, 3, out=a)\n"
      "def copy(): np.copyto(a, b)\n"
      "for f in (add, add_scalar, copy):\n"
      "    print((1 << 20) * 200 / min(timeit.repeat(f, number=200, repeat=5)))\n";
  numpy_rates r;
  std::string command = std::string("/usr/bin/python3 -c '") + code + "' 2>/dev/null";
  FILE *p = popen(command.c_str(), "r");
  if (!p) return r;
  if (std::fscanf(p, "%lf %lf %lf", &r.add, &r.add_scalar, &r.copy) != 3) r = {};
  pclose(p);
  return r;
}

void bench_lua(benchmark::State &st, const char *name, int64_t items) {
  lua_State *L = state();
  for (auto _ : st) {
    lua_getglobal(L, "calls");
    lua_getfield(L, -1, name);
    lua_call(L, 0, 0);
    lua_pop(L, 1);
  }
  st.SetItemsProcessed(st.iterations() * items);
}

template <class Rule>
void bench_plain(benchmark::State &st, Rule rule) {
  const double *a = elements("A"), *b = elements("B");
  double *c = elements("C");
  for (auto _ : st) {
    for (int i = 0; i < N; i++) c[i] = rule(a[i], b[i]);
    benchmark::DoNotOptimize(c);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * N);
}

// The textbook product: one running sum per result element.
void bench_plain_matmul(benchmark::State &st) {
  const double *a = elements("MA"), *b = elements("MB");
  double *c = elements("MC");
  for (auto _ : st) {
    for (int i = 0; i < MAT; i++)
      for (int j = 0; j < MAT; j++) {
        double sum = 0;
        for (int k = 0; k < MAT; k++) sum += a[i * MAT + k] * b[k * MAT + j];
        c[i * MAT + j] = sum;
      }
    benchmark::DoNotOptimize(c);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * MAT * MAT * MAT);
}

BENCHMARK_CAPTURE(bench_lua, add_into, "add_into", N)->Name("add/into_record");
BENCHMARK_CAPTURE(bench_lua, add_new, "add_new", N)->Name("add/operator_new_record");
BENCHMARK_CAPTURE(bench_plain, add, [](double x, double y) {
  return x + y;
})->Name("add/plain_loop");
BENCHMARK_CAPTURE(bench_lua, mul_into, "mul_into", N)->Name("mul/into_record");
BENCHMARK_CAPTURE(bench_lua, mul_new, "mul_new", N)->Name("mul/operator_new_record");
BENCHMARK_CAPTURE(bench_plain, mul, [](double x, double y) {
  return x * y;
})->Name("mul/plain_loop");
BENCHMARK_CAPTURE(bench_lua, matmul_into, "matmul_into", int64_t(MAT) * MAT * MAT)
    ->Name("matmul/into_record");
BENCHMARK(bench_plain_matmul)->Name("matmul/plain_loop");
BENCHMARK_CAPTURE(bench_lua, u8_add, "u8_add_in_place", N)->Name("u8_add/in_place");
BENCHMARK(bench_plain_u8_add)->Name("u8_add/plain_loop");
BENCHMARK_CAPTURE(bench_lua, u8_add_scalar, "u8_add_scalar_in_place", N)
    ->Name("u8_add/scalar_in_place");
BENCHMARK(bench_plain_u8_add_scalar)->Name("u8_add/scalar_plain_loop");
BENCHMARK_CAPTURE(bench_lua, u8_copy, "u8_copy", N)->Name("u8_copy/into_record");
BENCHMARK(bench_plain_u8_copy)->Name("u8_copy/plain_memcpy");

}  // namespace

int main(int argc, char **argv) {
  // The workstation's heap policy: records of the operator forms reuse the
  // memory of collected ones instead of faulting fresh pages in every call.
  alloc_keep_freed_memory();
  bench_initialize(&argc, argv);
  ratio_reporter reporter("items_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto &r = reporter.rate;
  bench_print_goal_header("userdata (time over the loop's)");
  const char *const rows[][2] = {{"add/into_record", "add/plain_loop"},
                                 {"add/operator_new_record", "add/plain_loop"},
                                 {"mul/into_record", "mul/plain_loop"},
                                 {"mul/operator_new_record", "mul/plain_loop"},
                                 {"matmul/into_record", "matmul/plain_loop"},
                                 {"u8_add/in_place", "u8_add/plain_loop"},
                                 {"u8_add/scalar_in_place", "u8_add/scalar_plain_loop"},
                                 {"u8_copy/into_record", "u8_copy/plain_memcpy"}};
  for (const auto &row : rows)
    if (r[row[0]] > 0)
      bench_print_goal(row[0], r[row[1]] / r[row[0]], bench_goal::at_most, 1.5, row[1]);
  numpy_rates np = measure_numpy();
  const struct {
    const char *name;
    double rate;
  } np_rows[] = {{"u8_add/in_place", np.add},
                 {"u8_add/scalar_in_place", np.add_scalar},
                 {"u8_copy/into_record", np.copy}};
  for (const auto &row : np_rows) {
    if (row.rate <= 0)
      std::printf("%-30s %9s   (python3 with numpy not found)\n", row.name, "-");
    else if (r[row.name] > 0)
      bench_print_goal(row.name, row.rate / r[row.name], bench_goal::at_most, 2.0, "numpy");
  }
  benchmark::Shutdown();
  return bench_exit_code();
}
