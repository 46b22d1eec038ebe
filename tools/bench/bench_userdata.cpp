// Element-wise add and mul and the matrix product on large f64 records,
// called as a process calls them, beside a plain C++ loop over the same
// arrays in the same run. Prints each operation's time over the plain
// loop's (1.0 is as fast; the aim is at most 1.5 for contiguous records).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "kernel/alloc.h"
#include "lang/lua_api.h"
#include "tools/bench/bench_ratio.h"
#include "userdata/ud_metatable.h"
#include "userdata/udata.h"

namespace {

constexpr int N = 1 << 20;  // elements of the element-wise records (8 MiB each)
constexpr int MAT = 192;    // rows and columns of the matrices

const char *const setup_code = R"(
  A = userdata('f64', 1048576) B = userdata('f64', 1048576) C = userdata('f64', 1048576)
  for i = 0, #A - 1 do A[i] = i * 0.5 + 1 B[i] = 3 - i * 0.25 end
  MA = userdata('f64', 192, 192) MB = userdata('f64', 192, 192) MC = userdata('f64', 192, 192)
  for i = 0, #MA - 1 do MA[i] = (i % 17) * 0.5 MB[i] = (i % 13) - 6 end
  calls = {
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

double *elements(const char *global) {
  lua_State *L = state();
  lua_getglobal(L, global);
  double *e = reinterpret_cast<double *>(udata_elements(to_udata(L, -1)));
  lua_pop(L, 1);
  return e;
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
                                 {"matmul/into_record", "matmul/plain_loop"}};
  for (const auto &row : rows)
    if (r[row[0]] > 0)
      bench_print_goal(row[0], r[row[1]] / r[row[0]], bench_goal::at_most, 1.5, row[1]);
  benchmark::Shutdown();
  return bench_exit_code();
}
