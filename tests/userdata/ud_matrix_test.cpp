// Vector and matrix methods as a process sees them: interpolation, lengths
// and products, the matrix products with their destinations (in place ones
// included), transposition, rows and columns. Random products are compared
// with numpy in ops_golden_test.cpp.
#include "tests/userdata/ud_lua_fixture.h"

namespace {

struct ud_matrix : ud_methods {
  void SetUp() override {
    ud_methods::SetUp();
    // M(w, h, ...): an f64 matrix of h rows of w; S(u): its shape and elements.
    root_eval(
        "function M(w, h, ...) local m = userdata('f64', w, h) for i, v in ipairs({...}) do "
        "m[i - 1] = v end return m end "
        "function S(u) local t = {} for i = 0, #u - 1 do t[#t + 1] = string.format('%g', u[i]) end "
        "return u:width() .. 'x' .. (u:height() or 1) .. ':' .. table.concat(t, ',') end");
  }
};

TEST_F(ud_matrix, LerpAndVectors) {
  const lua_case cases[] = {
      {"return S(vec(0, 0, 0, 0, 0, 0, 0, 7):lerp())", "8x1:0,1,2,3,4,5,6,7"},
      {"return E(userdata('u8', 3, 'c80064'):lerp())", "200,150,100"},
      {"return E(userdata('i32', 4, '0000000000000000' .. '00000000fffffffd'):lerp())",
       "0,-1,-2,-3"},
      {"local v = vec(1, 5, 9) return tostring(rawequal(v:lerp(0, 1), v)) .. S(v)",
       "true3x1:1,5,9"},
      // Rows of a matrix, and every other element of a vector.
      {"return S(M(3, 2, 0, 0, 4, 10, 0, 0):lerp())", "3x2:0,2,4,10,5,0"},
      {"return S(vec(0, 9, 0, 9, 4):lerp(0, 2, 2, 1))", "5x1:0,9,2,9,4"},
      // The end must lie inside; the bound is not computed in 32 bits, where
      // 2 x 0x7fffffff + 2 would wrap to 0.
      {"return select('#', vec(1, 2, 3):lerp(0, 3))", "0"},
      {"return select('#', vec(1, 2, 3, 4):lerp(0, 2, 1, 3, 0x7fffffff))", "0"},
      {"return select('#', vec(1, 2, 3):lerp(-1)) .. select('#', vec(1, 2, 3):lerp(0, 0))", "00"},
      {"return vec(3, 4):magnitude() .. ' ' .. vec(0, 0):distance(vec(3, 4)) .. ' ' .. "
       "vec(1, 2, 3):dot(vec(4, 5, 6, 7))",
       "5.0 5.0 32.0"},
      {"return vec(1.1):distance(vec(0)) == math.sqrt(math.fmod(1.1, 2)) and 'double' or 'single'",
       "single"},
      {"return select('#', userdata('i32', 2):magnitude()) .. select('#', vec(1):dot(1))", "00"},
      {"local a, b = vec(1, 0, 0), vec(0, 1, 0) local c = a:cross(b) "
       "return S(c) .. ' ' .. S(b) .. ' ' .. tostring(rawequal(c, b))",
       "3x1:0,0,1 3x1:0,1,0 false"},
      {"local a = vec(1, 0, 0) a:cross(vec(0, 1, 0), true) return S(a)", "3x1:0,0,1"},
      {"local a, d = vec(1, 0, 0), vec(5, 5, 5, 5) a:cross(vec(0, 1, 0), d) return S(d)",
       "4x1:0,0,1,5"},
      {"return select('#', vec(1, 0):cross(vec(0, 1, 0))) .. "
       "select('#', vec(1, 0, 0):cross(vec(0, 1, 0), userdata('i32', 3)))",
       "00"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_matrix, Products) {
  root_eval(
      "A = M(3, 2, 1, 2, 3, 4, 5, 6) B = M(2, 3, 1, 0, 0, 1, 1, 1) "
      "T = M(3, 4, 1, 0, 0, 0, 1, 0, 0, 0, 1, 10, 20, 30)");
  const lua_case cases[] = {
      {"return S(A:matmul(B))", "2x2:4,5,10,11"},
      {"return select('#', A:matmul(A)) .. select('#', A:matmul(B, nil, 0)) .. "
       "select('#', A:matmul(B, nil, 3)) .. select('#', A:matmul(B, M(2, 1)))",
       "0000"},
      {"return S(A:matmul(B, nil, 1))", "2x2:4,5,10,11"},
      {"return S(vec(1, 2, 3):matmul3d(T))", "3x1:11,22,33"},
      {"return S(M(3, 4, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 2, 3):matmul3d(T, nil, 4))",
       "3x4:1,0,0,0,1,0,0,0,1,11,22,33"},
      // Batch 4 reads at most four columns of a wider matrix (m has four rows).
      {"local v = M(6, 4, 1, 0, 0, 0, 9, 9, 0, 1, 0, 0, 9, 9, 0, 0, 1, 0, 9, 9, 1, 2, 3, 1, 9, 9) "
       "return S(v:matmul3d(M(3, 4, 2, 0, 0, 0, 2, 0, 0, 0, 2, 1, 1, 1), nil, 4))",
       "6x4:2,0,0,0,9,9,0,2,0,0,9,9,0,0,2,0,9,9,4,6,8,1,9,9"},
      {"return select('#', M(3, 5):matmul3d(T)) .. select('#', M(3, 4):matmul3d(T, nil, 2)) .. "
       "select('#', vec(1, 2, 3):matmul3d(T, vec(1, 2)))",
       "000"},
      {"local m = M(2, 3, 1, 0, 0, 1, 5, 6) local v = M(2, 5, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5) "
       "return select('#', v:matmul2d(m)) .. ' ' .. S(v:matmul2d(m, nil, 1))",
       "0 2x5:6,7,7,8,8,9,9,10,10,11"},
      {"return S(M(2, 3, 1, 0, 0, 1, 0, 0):matmul2d(M(2, 3, 2, 0, 0, 2, 5, 6)))",
       "2x3:2,0,0,2,5,6"},
  };
  run(cases, std::size(cases));
}

// An operand that is also the destination is read as it was before the
// call: in place products equal the products made into new records.
TEST_F(ud_matrix, InPlaceProducts) {
  root_eval(
      "A = M(3, 3, 1, 2, 3, 4, 5, 6, 7, 8, 10) B = M(3, 3, 2, -1, 0, 1, 3, 1, 0, 5, -2) "
      "function C(m) return M(m:width(), m:height(), m:get()) end");
  const lua_case cases[] = {
      {"local a, want = C(A), S(A:matmul(B)) a:matmul(B, true) return S(a) == want", "true"},
      {"local a, want = C(A), S(A:matmul(B, nil, 1)) a:matmul(B, true, 1) return S(a) == want",
       "true"},
      // b is where the results go: it is copied once, before the first row.
      {"local b, want = C(B), S(A:matmul(B, nil, 1)) A:matmul(b, b, 1) return S(b) == want",
       "true"},
      {"local a, want = C(A), S(A:matmul(A)) a:matmul(a, true, 1) return S(a) == want", "true"},
      // m is the destination: its first rows take the results, the others
      // stay, and every point is moved by the m of before the call.
      {"local t = M(3, 4, 1, 2, 0, 0, 1, 3, 2, 0, 1, 10, 20, 30) local v = M(3, 2, 1, 2, 3, 4, 5, "
       "6) "
       "local want = v:matmul3d(t, nil, 1) v:matmul3d(t, t, 1) "
       "return tostring(S(M(3, 2, t:get(0, 0, 6))) == S(want)) .. ' ' .. L(t:get(0, 2, 6))",
       "true 2.0,0.0,1.0,10.0,20.0,30.0"},
      {"local m = M(2, 3, 1, 2, 3, 4, 5, 6) local v = M(2, 3, 1, 1, 2, 0, 0, 3) "
       "local want = S(v:matmul2d(m, nil, 1)) v:matmul2d(m, m, 1) return S(m) == want",
       "true"},
      {"local v = M(3, 4, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 2, 3) local want = S(v:matmul3d(v, nil, "
       "4)) "
       "v:matmul3d(v, true, 4) return S(v) == want",
       "true"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_matrix, TransposeRowsColumns) {
  const lua_case cases[] = {
      {"return S(M(3, 2, 1, 2, 3, 4, 5, 6):transpose())", "2x3:1,4,2,5,3,6"},
      {"local m = M(3, 2, 1, 2, 3, 4, 5, 6) m:transpose(true) return S(m)", "3x2:1,4,3,2,5,6"},
      // The record as its own destination is the in-place form, not a
      // copy that reads its own results.
      {"local m = M(3, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9) m:transpose(m) return S(m)",
       "3x3:1,4,7,2,5,8,3,6,9"},
      {"local d = userdata('i16', 2, 2) userdata('i16', 3, 1, '000100020003'):transpose(d) "
       "return E(d)",
       "1,0,2,0"},
      {"return select('#', userdata('i16', 3):transpose(userdata('u8', 3)))", "0"},
      {"local u = userdata('u8', 4, 3) for i = 0, 11 do u[i] = i end "
       "local r = u:row(1) return r:width() .. 'x' .. r:height() .. ':' .. E(r) .. ' ' .. "
       "select('#', u:row(3)) .. select('#', u:row()) .. ' ' .. E(u:column(2)) .. ' ' .. "
       "u:column(2):width() .. select('#', u:column(4))",
       "4x1:4,5,6,7 00 2,6,10 10"},
  };
  run(cases, std::size(cases));
}

}  // namespace
