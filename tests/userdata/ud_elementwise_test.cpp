// The element-wise family as a process sees it: the frame's walk, operands,
// scalars and destinations, then each member's element rules at the edges
// (wrapping, zero divisors, the most negative integers, NaN and -0.0, shift
// counts). Random inputs of every type are compared with numpy in
// ops_golden_test.cpp.
#include <random>

#include "userdata/ud_frame.h"
#include "tests/userdata/ud_lua_fixture.h"

namespace {

// clip_run against the k it describes, counted one by one, for steps of
// every sign.
TEST(ud_frame, ClipRunMatchesEnumeration) {
  std::mt19937_64 rng(15);
  auto pick = [&rng](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  for (int i = 0; i < 100000; i++) {
    int64_t p = pick(-40, 40), step = pick(-6, 6), count = pick(0, 20), n = pick(0, 16);
    int64_t first = -1, last = -1, seen = 0;
    for (int64_t k = 0; k < count; k++) {
      int64_t at = p + k * step;
      if (at < 0 || at >= n) continue;
      if (first < 0) first = k;
      last = k;
      seen++;
    }
    ud_run r = clip_run(p, step, count, n);
    int64_t got = r.k1 > r.k0 ? r.k1 - r.k0 : 0;
    ASSERT_EQ(got, seen) << p << " " << step << " " << count << " " << n;
    if (seen) {
      ASSERT_EQ(r.k0, first) << p << " " << step << " " << count << " " << n;
      ASSERT_EQ(r.k1 - 1, last) << p << " " << step << " " << count << " " << n;
    }
  }
  // Walk positions far outside 32 bits.
  ud_run far = clip_run(int64_t(1) << 40, -(int64_t(1) << 20), int64_t(1) << 21, 10);
  EXPECT_EQ(far.k1 - far.k0, 1);
  EXPECT_EQ(far.k0, int64_t(1) << 20);
}

// The charge of a walk is counted in 64 bits: more elements than an int32
// holds still charge (the counter saturates rather than wrapping).
TEST(ud_frame, ChargeIn64Bits) {
  cpu_budget.cycles = 0;
  frame_charge({int64_t(3) << 31, 0}, 1);
  EXPECT_GT(cpu_budget.cycles, 1 << 30);
  cpu_budget.cycles = 0;
}

TEST_F(ud_methods, FrameOperandsAndDestinations) {
  root_eval("Z = function(n) return userdata('u8', n) end");
  const lua_case cases[] = {
      {"return tostring(userdata('u8', 2) + userdata('i16', 2))", "nil"},
      // Another shape: element by element over the shorter count.
      {"return E(userdata('u8', 4, '01020304') + userdata('u8', 1, 3, '0a0a0a'))", "11,12,13,4"},
      {"local a, c = userdata('u8', 2, 2, '01020304'), userdata('u8', 2, 1, '0909') "
       "return select('#', a:add(a, c)) .. E(c)",
       "09,9"},
      // A destination of another element type is refused, however it is sized.
      {"local a, c = userdata('u8', 2, '0102'), userdata('i16', 2) "
       "return select('#', a:add(1, c)) .. E(c)",
       "00,0"},
      {"local a, c = userdata('u8', 2, '0102'), userdata('u8', 2) return "
       "tostring(rawequal(a:add(1, "
       "c), c)) .. E(c) .. E(a)",
       "true2,31,2"},
      {"local a = Z(10) return tostring(rawequal(a:add(1, true, 0, -3, 5), a)) .. E(a)",
       "true1,1,0,0,0,0,0,0,0,0"},
      {"local a = Z(10) return tostring(rawequal(a:add(1, 'yes'), a)) .. E(a)",
       "true1,1,1,1,1,1,1,1,1,1"},
      {"local a = Z(4) local c = a + 1 return tostring(rawequal(a, c)) .. E(a)", "false0,0,0,0"},
      {"return E(Z(10):add(1, nil, 0, 0, 2, 0, 4, 2))", "1,1,0,0,1,1,0,0,0,0"},
      {"return E(Z(10):add(1, nil, 0, 0, 1, 0, 4, 5))", "1,0,0,0,1,0,0,0,1,0"},
      {"return E(Z(10):add(1, nil, 0, 0, 2, 0, 4, 3))", "1,1,0,0,1,1,0,0,1,1"},
      // Normal order: a negative stride only moves where each span starts.
      {"return E(Z(10):add(1, nil, 0, 8, 2, 0, -4, 2))", "0,0,0,0,1,1,0,0,1,1"},
      // Swapped order with a stride of 0 or less processes nothing.
      {"return E(Z(6):add(1, nil, 0, 0, 1, 0, 0, 5))", "0,0,0,0,0,0"},
      {"return E(Z(6):add(1, nil, 0, 5, 1, 0, -1, 5))", "0,0,0,0,0,0"},
      {"return E(Z(6):add(Z(6) + 1, nil, 0, 0, 1, 0, 1, 5))", "0,0,0,0,0,0"},
      // Positions are 64-bit: 2 x 0x7fffffff does not wrap back into range.
      {"return E(Z(4):add(1, nil, 0, 0x7fffffff, 3, 0, 0x7fffffff, 3))", "0,0,0,0"},
      {"return E(Z(4):add(1, nil, 0, -0x80000000, 3, 0, 0x7fffffff, 3))", "1,1,0,0"},
      {"local a = Z(3) return tostring(rawequal(a:add(Z(3), true, 5), a)) .. E(a)", "true0,0,0"},
      {"local a = userdata('u8', 3, '0a0a0a') return E(a:add(5, nil, 0, 0, 0))", "10,10,10"},
      // A new record keeps the primary's values wherever the walk does not
      // reach: past an a offset, past a b offset, or past the second operand.
      {"local a = userdata('u8', 4, '05050505') return E(a:add(1, nil, 0, 2)) .. ';' .. "
       "E(a:add(a, nil, 1)) .. ';' .. E(a:add(userdata('u8', 3, '010101'))) .. ';' .. "
       "E(a:add(1, nil, 0, 0, 3)) .. ';' .. E(a:add(1, nil, 0, 0, 1, 0, 1, 2))",
       "5,5,6,6;10,10,10,5;6,6,6,5;6,6,6,5;6,6,5,5"},
      // Overlap: each element adds the one already updated before it.
      {"local a = userdata('u8', 10, '01010101010101010101') a:add(a, true, 0, 1, 9) return E(a)",
       "1,2,3,4,5,6,7,8,9,10"},
      {"local a = userdata('u8', 1, '0a') return E(2 - a) .. ';' .. E(a - 2)", "248;8"},
      {"local a = userdata('u8', 1, '0a') return E('5' + a) .. ';' .. E(a + '5')", "15;10"},
      {"return tostring(userdata('u8', 2) + nil)", "nil"},
      {"return E(nil + userdata('u8', 2, '0102'))", "1,2"},
      {"return E(userdata('i16', 2, '0005fffb') / nil)", "32767,-32767"},
      {"return E(userdata('i16', 2, '0005fffb'):mod())", "0,0"},
      {"return select('#', USERDATA.add(1, 2))", "0"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, ArithmeticRules) {
  root_eval(
      "function R(t, hex) return userdata(t, #hex // ({u8 = 2, i16 = 4, i32 = 8, i64 = 16})[t], "
      "hex) end "
      "MIN64 = R('i64', '8000000000000000')");
  const lua_case cases[] = {
      {"return E(R('u8', 'c8') + 100) .. E(5 - R('u8', '0a')) .. E(R('u8', '10') * 16)", "442510"},
      {"local a = R('i16', 'fff9') return E(a / 2) .. E(a // 2)", "-3-3"},
      {"local a = vec(-7) return E(a // 2) .. ' ' .. E(a / 2)", "-4.0 -3.5"},
      // The most negative value over -1 is itself, and never traps.
      {"return E(R('i16', '8000') / -1) .. E(R('i32', '80000000') // -1)", "-32768-2147483648"},
      {"local m = R('i64', 'ffffffffffffffff') "
       "return E(MIN64 / -1) .. ' ' .. E(MIN64 // m) .. ' ' .. E(MIN64 % m) .. ' ' .. E(MIN64 % "
       "-1)",
       "-9223372036854775808 -9223372036854775808 0 0"},
      // Zero divisors.
      {"return E(R('u8', '09') / 0) .. E(R('i16', 'fffb0000') / 0) .. E(R('i32', 'ffffffff') // 0)",
       "255-32767,32767-2147483647"},
      {"return E(R('i64', '0000000000000007') / 0) .. E(R('i64', 'fffffffffffffff9') // 0)",
       "140737488355327-140737488355327"},
      {"return E(vec(-1, 0, 0/0) / 0) .. ' ' .. E(vec(-1, 5) // 0)",
       "-1.7976931348623e+308,1.7976931348623e+308,1.7976931348623e+308 "
       "-1.7976931348623e+308,1.7976931348623e+308"},
      {"return E(vec(1, -1, 0) / -0.0)",
       "1.7976931348623e+308,-1.7976931348623e+308,"
       "1.7976931348623e+308"},
      {"return E(2 / R('i32', '0000000000000004'))", "2147483647,0"},
      {"local x = vec(1) / vec(0/0) return tostring(x[0] ~= x[0])", "true"},
      // Floor modulo: the sign of the divisor; 0 for a zero divisor.
      {"return E(R('i16', 'fff90007') % 3) .. E(R('i16', '0007') % -3) .. E(R('i16', '0005') % 0)",
       "2,1-20"},
      {"return E(R('i32', 'fffffff9') % 3) .. E(R('i64', '0000000000000007') % -3)", "2-2"},
      {"return E(vec(-7, 7, 5.5, -1) % vec(3, -3, 0, math.huge))", "2.0,-2.0,0.0,inf"},
      {"return E(R('u8', 'f9') % 0) .. E(R('u8', 'fa') % 7)", "05"},
      // Powers: the square is a wrapped product (on i64 rounded through a
      // float), others go through pow.
      {"return E(vec(3) ^ 2) .. E(R('u8', '1003') ^ 2) .. E(R('u8', '03') ^ 5)", "9.00,9243"},
      {"return E(R('i16', '012c') ^ 3) .. ' ' .. E(R('i32', '00010000') ^ 2) .. ' ' .. "
       "E(R('i32', '00010000') ^ 3)",
       "-832 0 -2147483648"},
      {"return E(R('i32', '00000002') ^ -1) .. ' ' .. E(R('i32', '00000000') ^ -1) .. ' ' .. "
       "E(R('i16', '0000') ^ -1) .. ' ' .. E(R('u8', '02') ^ 8)",
       "0 -2147483648 0 0"},
      {"return E(R('i64', '0000000100000000') ^ 2) .. ' ' .. E(R('i64', '00000000b504f334') ^ 2)",
       "0 -9223372036709301248"},
      {"return E(3 ^ R('i16', '00020003'))", "9,27"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, BitwiseAndShiftRules) {
  root_eval(
      "function R(t, hex) return userdata(t, #hex // ({u8 = 2, i16 = 4, i32 = 8, i64 = 16})[t], "
      "hex) end");
  const lua_case cases[] = {
      {"return select('#', vec(1, 2):band(vec(1, 2))) .. tostring(vec(1) & 1) .. "
       "tostring(vec(1) << 1)",
       "0nilnil"},
      {"local d = vec(7, 7) vec(1, 2):bor(1, d) return E(d)", "7.0,7.0"},
      {"local a = R('u8', '80ff') return E(a >> 7) .. ';' .. E(a << 4)", "1,1;0,240"},
      {"local a = R('u8', '05') return E(a << 8) .. E(a >> 8) .. E(a << 32) .. E(a << 33) .. "
       "E(a << -1)",
       "005100"},
      {"local a = R('i16', '8000') return E(a >> 15) .. E(a >> 16) .. E(R('i16', '0001') << 15) .. "
       "E(R('i16', '0001') << 16)",
       "-1-1-327680"},
      {"return E(R('i32', '00000001') << 31) .. ' ' .. E(R('i32', 'fffffff8') >> 1) .. ' ' .. "
       "E(R('i32', '00000005') << 32) .. ' ' .. E(R('i32', 'fffffff8') >> -1)",
       "-2147483648 -4 5 -1"},
      {"local a = R('i64', '0000000000000003') return E(a << 64) .. ' ' .. E(a << 65) .. ' ' .. "
       "E(R('i64', 'ffffffffffffffff') >> 63)",
       "3 6 -1"},
      // Counts from elements use their low bits only.
      {"return E(R('u8', '0101') << R('u8', '0321'))", "8,2"},
      {"return E(300 >> R('u8', '01')) .. ' ' .. E(1 << R('u8', '09')) .. ' ' .. "
       "E(65535 >> R('i16', '0004'))",
       "22 0 -1"},
      {"local v = R('u8', '03') return E(v << 2) .. E(2 << v) .. E(v & 12) .. E(12 & v)", "121600"},
      {"return E(R('u8', '0a7f') & 0x1ff) .. ' ' .. E(R('i32', 'fffffffb00000007') & 4294967295)",
       "10,127 -2147483648,0"},
      {"return E(R('i64', '7fffffffffffffff') & 0x7fffffffffffffff)", "0"},
      {"local a = R('u8', '0506') return E(a:band()) .. E(a:band(nil)) .. E(a:band('x')) .. "
       "E(a:bor()) .. E(a:shl()) .. E(a:bxor(R('u8', '0303')))",
       "0,00,00,05,65,66,5"},
  };
  run(cases, std::size(cases));
}

TEST_F(ud_methods, MinMaxAbsSign) {
  root_eval(
      "function R(t, hex) return userdata(t, #hex // ({u8 = 2, i16 = 4, i32 = 8, i64 = 16})[t], "
      "hex) end "
      "NAN = 0/0 "
      "function S(u) local t = {} for i = 0, #u - 1 do local v = u[i] t[#t + 1] = v ~= v and "
      "'nan' or string.format('%g', v) end return table.concat(t, ',') end");
  const lua_case cases[] = {
      {"return E(R('u8', 'c864'):max(R('u8', '64c8'))) .. ' ' .. E(R('u8', '0509'):min(-1)) .. "
       "' ' .. E(R('u8', '0509'):max(256))",
       "200,200 5,9 5,9"},
      {"return E(R('i16', 'ffff'):max(R('i16', '0001'))) .. ' ' .. E(R('i16', "
       "'fffb0003'):max(65535))",
       "1 -1,3"},
      // f64: a NaN or an equal pair gives the right value.
      {"local x, y = vec(NAN, 1, 0.0, -0.0), vec(1, NAN, -0.0, 0.0) "
       "return S(x:max(y)) .. ' ' .. S(x:min(y))",
       "1,nan,-0,0 1,nan,-0,0"},
      {"return select('#', vec(1):max()) .. select('#', vec(1):min(nil))", "00"},
      {"return E(R('i16', '8000'):abs()) .. ' ' .. E(R('i32', '80000000'):abs()) .. ' ' .. "
       "E(R('i64', '8000000000000000'):abs()) .. ' ' .. E(R('u8', 'c8'):abs())",
       "-32768 -2147483648 -9223372036854775808 200"},
      {"return S(vec(-0.0, -2.5, NAN, -math.huge):abs())", "-0,2.5,nan,inf"},
      {"return E(R('u8', '0007'):sgn()) .. E(R('i16', '0000fffb'):sgn()) .. "
       "E(R('i32', '00000000'):sgn()) .. E(R('i64', '0000000000000000'):sgn())",
       "1,11,-111"},
      {"return S(vec(0.0, -0.0, NAN, -3, 2):sgn())", "1,1,-1,-1,1"},
      {"return E(R('u8', '0007'):sgn0()) .. ' ' .. E(R('i32', '00000000fffffff9'):sgn0()) .. ' ' "
       ".. "
       "E(R('i64', '0000000000000005'):sgn0())",
       "0,1 0,-1 1"},
      {"local s = vec(0.0, -0.0, NAN, 2):sgn0() return S(s) .. ' ' .. tostring(1 / s[1])",
       "0,0,-1,1 inf"},
      // Argument 2 a number fills f(number); anything else fills f(0).
      {"local a = R('i32', '0000000100000002') return E(a:abs(-3)) .. ' ' .. E(a:abs('x')) .. ' ' "
       ".. E(a:sgn('x'))",
       "3,3 0,0 1,1"},
      {"return E(USERDATA.abs(7, R('i16', 'fffe0003')))", "2,3"},
      {"return E(R('i16', '00010001'):abs(R('i16', 'fffbfffa'))) .. select('#', "
       "R('i16', '0001'):abs(R('u8', '01')))",
       "5,60"},
      {"return E(R('i16', 'ffffeffefffdfffcfffb'):abs(nil, nil, 2))", "3,4,5,-4,-5"},
  };
  run(cases, std::size(cases));
}

}  // namespace
