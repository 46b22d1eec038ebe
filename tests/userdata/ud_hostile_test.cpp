// Records against a hostile program: forged sizes whose products wrap,
// finalizers that reshape an operand in the middle of a call, walks and
// loops far past what a slice may run, and the element-wise results of the
// vectorised runs against the element-by-element rule.
#include <chrono>
#include <cstring>
#include <string>

#include "userdata/udata.h"
#include "tests/support/cpu_clock.h"
#include "tests/userdata/ud_lua_fixture.h"

namespace {

// Sizes whose product passes 64 bits (or 32, for the old comparison) are
// refused, never made into a small record that claims a huge one.
TEST_F(ud_methods, WrappingSizeProductsAreRefused) {
  const lua_case cases[] = {
      // 1824726041 x 1263665316 x 8 is 2^64 + 32.
      {"return select('#', userdata('i64', 1824726041, 1263665316))", "0"},
      {"return select('#', userdata('u8', 0x7fffffff, 0x7fffffff))", "0"},
      {"return select('#', userdata('f64', 0x40000000, 4))", "0"},
      {"return #userdata('f64', 2097152) .. ',' .. select('#', userdata('f64', 2097153))",
       "2097152,0"},
      {"local s, l = userdata('i64', 8), userdata('i32', 1) "
       "return select('#', s:take(l, nil, 0, 0, 1824726041, 1, 1824726041, 1263665316))",
       "0"},
      {"local u = userdata('i64', 8) "
       "return tostring(u:mutate('i64', 1824726041, 1263665316)) .. ',' .. u:width()",
       "new size is larger than old size,8"},
      // 65536 x 65537 is 65536 in 32 bits.
      {"local u = userdata('u8', 65536) "
       "return tostring(u:mutate('u8', 65536, 65537)) .. ',' .. u:width()",
       "new size is larger than old size,65536"},
      {"local u = userdata('u8', 64) return select('#', u:mutate('i64', 4, 2)) .. u:width()", "04"},
  };
  run(cases, std::size(cases));
}

// A header that claims more elements than its block holds is no record, even
// when the claim's byte count wraps to a small number.
TEST_F(ud_methods, HeadersThatOutgrowTheirBlockAreNoRecords) {
  lua_State *L = root->L;
  struct {
    uint8_t utype;
    uint32_t width, height;
    bool record;
  } cases[] = {
      {UTYPE_I64, 4, 1, true},
      {UTYPE_I64, 5, 1, false},
      {UTYPE_I64, 1824726041, 1263665316, false},  // 2^64 + 32 bytes
      {UTYPE_U8, 0xffffffff, 0xffffffff, false},
      {UTYPE_U8, 32, 1, true},
      {0, 1, 1, false},  // an element of no bytes
  };
  for (const auto &c : cases) {
    auto *ud = static_cast<udata *>(lua_newuserdatauv(L, sizeof(udata) + 32, 0));
    std::memset(ud, 0, sizeof(udata) + 32);
    ud->utype = c.utype;
    ud->dims = 2;
    ud->width = c.width;
    ud->height = c.height;
    EXPECT_EQ(to_udata(L, -1) != nullptr, c.record) << c.width << " x " << c.height;
    lua_pop(L, 1);
  }
}

// Finalizers armed to reshape a victim run inside the methods' own
// allocations (the collector runs at every few allocations); no method may
// then use the shape or type it read before. Under the sanitizers a stale
// shape is an out-of-bounds access.
TEST_F(ud_methods, FinalizersThatReshapeAnOperandMidCallAreHarmless) {
  root_eval(R"(
    LIST, M43, M32 = userdata('i32', 1), userdata('f64', 3, 4), userdata('f64', 2, 3)
    FAMILIES = {
      {'row', 'i64', 512, 1, {'u8', 4096, 1}, function(v) return v:row(0) end},
      {'column', 'i64', 1, 512, {'u8', 1, 4096}, function(v) return v:column(0) end},
      {'take', 'i64', 512, 1, {'u8', 4096, 1},
       function(v) return v:take(LIST, nil, 0, 0, 4096) end},
      {'indexed', 'u8', 4096, 1, {'i64', 512, 1}, function(v) return v:convert('u8', true) end},
      {'convert', 'u8', 4096, 1, {'i64', 512, 1}, function(v) return v:convert('i16') end},
      {'matmul3d', 'f64', 3, 64, {'f64', 1, 192}, function(v) return v:matmul3d(M43, nil, 1) end},
      {'matmul2d', 'f64', 2, 64, {'f64', 1, 128}, function(v) return v:matmul2d(M32, nil, 1) end},
      {'matmul', 'f64', 8, 8, {'f64', 1, 64}, function(v) return v:matmul(v) end},
      {'transpose', 'i64', 64, 8, {'u8', 4096, 1}, function(v) return v:transpose() end},
    }
    for _, name in ipairs({'add', 'sub', 'mul', 'div', 'idiv', 'mod', 'pow', 'band', 'bor',
                           'bxor', 'shl', 'shr', 'max', 'min', 'abs', 'sgn', 'sgn0', 'copy'}) do
      FAMILIES[#FAMILIES + 1] = {name, 'i64', 512, 1, {'u8', 4096, 1},
                                 function(v) return v[name](v, v) end}
    end
    -- Collect after every few allocations, running pending finalizers then.
    collectgarbage('generational', 1, 100)
    function run_family(f)
      local hits = 0
      local shape = f[5]
      for i = 1, 300 do
        local victim = userdata(f[2], f[3], f[4])
        for k = 1, 3 do
          setmetatable({}, {__gc = function() if INSIDE then hits = hits + 1 end
                                              victim:mutate(shape[1], shape[2], shape[3]) end})
        end
        INSIDE = true
        f[6](victim)
        INSIDE = false
      end
      return hits
    end
  )");
  int families = std::stoi(root_eval("return #FAMILIES"));
  ASSERT_GE(families, 27);
  for (int i = 1; i <= families; i++) {
    std::string n = std::to_string(i);
    std::string hits = root_eval("return run_family(FAMILIES[" + n + "])");
    // The finalizers did run while the method was being called.
    EXPECT_GT(std::atoi(hits.c_str()), 0)
        << root_eval("return FAMILIES[" + n + "][1]") << ": " << hits;
  }
  root_eval("collectgarbage('incremental')");
}

// Calls whose work or charge is far past what a slice may run fail at once
// with the overrun error; outside a slice, where nothing is refused, clipped
// walks skip what lies outside the records. Each call returns or refuses in a
// few milliseconds of host time.
TEST_F(ud_methods, NoSingleCallHoldsTheHost) {
  root_eval(
      "U = userdata('u8', 4096) L64 = userdata('u8', 65536) "
      "MA = userdata('f64', 1024, 1024) LIST = userdata('i32', 1 << 20) "
      "SQ = userdata('u8', 256, 256) F2M = userdata('f64', 1 << 20):add(1.7e308, true)");
  struct {
    const char *call;
    bool refused;  // in a slice, with the overrun error; else run outside one
  } cases[] = {
      // Stride 0: 2^26 spans over the same elements.
      {"U:add(1, true, 0, 0, 1 << 26, 0, 0, 1 << 26)", true},
      {"U:add(U, true, 0, 0, 1 << 26, 0, 0, 1 << 26)", true},
      {"U:copy(U, true, 0, 0, 1 << 26, 0, 0, 1 << 26)", true},
      // Every one of 2^30 spans touches the record.
      {"U:add(1, true, 0, -(1 << 30), (1 << 30) + 16, 0, 1, 1 << 30)", true},
      // 2^29 spans charge 2^28 cycles however few touch the record.
      {"U:add(1, true, 0, 0, 1 << 30, 0, 8, 1 << 29)", true},
      // Swapped with a stride of 0: nothing is processed.
      {"U:add(1, true, 0, 0, 1, 0, 0, 1 << 30)", false},
      // 2^29 spans of which 512 touch the record; none; 16 of 2^30 (swapped).
      {"U:add(1, true, 0, 0, 1 << 30, 0, 8, 1 << 29)", false},
      {"U:add(U, true, 0, 0, 1 << 30, 5000, 8, 1 << 29)", false},
      {"U:add(1, true, 0, 0, 16, 0, 1 << 20, 1 << 30)", false},
      // Overlapping runs of lerp: n^2 / 4 elements written.
      {"L64:lerp(0, 32767, 1, 32768, 1)", true},
      {"MA:matmul(MA)", true},
      // A million index entries each moving 4096 bytes to the same place.
      {"U:take(LIST, U, 0, 0, 4096, 1, 0)", true},
      {"userdata('i64', 1824726041, 1263665316)", false},
      // Sorting and moving the largest record to memory are ordinary work
      // (ud_ordinary_test); a double modulo of far-apart exponents is not.
      {"F2M:mod(1e-300, true)", true},
      {"F2M:mod(F2M, true, 0, 0, 1 << 21, 0, 0, 1)", false},
  };
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
  const double limit_ms = 50;
#else
  const double limit_ms = 2000;  // debug and sanitizer builds
#endif
  int32_t saved_max = cpu_budget.cycles_max;
  for (const auto &c : cases) {
    cpu_budget.cycles = 0;
    if (c.refused) cpu_budget.cycles_max = 1000;
    double start = thread_cpu_ms();
    std::string got = root_eval(std::string("local ok, e = pcall(function() return ") + c.call +
                                " end) return ok and 'ok' or e");
    double ms = thread_cpu_ms() - start;  // CPU time: a busy host does not count
    cpu_budget.cycles_max = saved_max;
    EXPECT_LT(ms, limit_ms) << c.call;
    if (c.refused)
      EXPECT_NE(got.find(CPU_OVERRUN_MESSAGE), std::string::npos) << c.call << " gave " << got;
    else
      EXPECT_EQ(got, "ok") << c.call;
  }
  cpu_budget.cycles = 0;
  // A slice already near the bound cannot start even a modest walk, transpose
  // or checksum; outside a slice the same calls run.
  for (const char *call : {"U:add(1, true)", "SQ:transpose(true)", "SQ:crc()", "SQ:transpose()"}) {
    cpu_budget.cycles_max = 1000;
    cpu_budget.cycles = int32_t(1000 + CPU_OVERRUN_LIMIT - 100);
    std::string got = root_eval(std::string("local ok, e = pcall(function() return ") + call +
                                " end) return ok and 'ok' or e");
    cpu_budget.cycles_max = saved_max;
    cpu_budget.cycles = 0;
    EXPECT_NE(got.find(CPU_OVERRUN_MESSAGE), std::string::npos) << call << " gave " << got;
    EXPECT_EQ(root_eval(std::string("return select('#', ") + call + ")"), "1") << call;
  }
}

// The element-wise walk against a plain Lua rendering of the element-by-
// element rule, over random walks where the destination is apart from the
// operands, is the same run of them, or overlaps the second operand at
// another position (the running form).
TEST_F(ud_methods, WalksMatchTheElementByElementRule) {
  std::string got = root_eval(R"(
    local function ref(a, b, s, bo, ao, len, bs, as, spans, rule)
      local na, nb = #a, b and #b or 0
      local swapped = spans > len
      local outer, inner = swapped and len or spans, swapped and spans or len
      local sa, sb = swapped and as or 1, swapped and bs or 1
      local oa, ob = swapped and 1 or as, swapped and 1 or bs
      if sa < 1 or (b and sb < 1) then return end
      for j = 0, outer - 1 do
        local pa, pb = ao + j * oa, bo + j * ob
        for k = 0, inner - 1 do
          local ia, ib = pa + k * sa, pb + k * sb
          if ia >= 0 and ia < na and (not b or (ib >= 0 and ib < nb)) then
            a[ia] = rule(a[ia], b and b[ib] or s)
          end
        end
      end
    end
    local function wrap(bits, signed)
      local m = 1 << bits
      return function(v) v = v % m if signed and v >= m // 2 then v = v - m end return v end
    end
    local types = {
      {'u8', wrap(8)}, {'i16', wrap(16, true)}, {'i32', wrap(32, true)},
      {'f64', function(v) return v end},
    }
    local rules = {
      add = function(w) return function(x, y) return w(x + y) end end,
      sub = function(w) return function(x, y) return w(x - y) end end,
      copy = function(w) return function(x, y) return y end end,
    }
    local function fill(u, t)
      for i = 0, #u - 1 do u[i] = t == 'f64' and math.random(-1000, 1000) / 8
                                               or math.random(-40000, 40000) end
    end
    local function same(u, v)
      for i = 0, #u - 1 do if u[i] ~= v[i] then return false end end
      return true
    end
    math.randomseed(29)
    local bad, first = 0, ''
    for trial = 1, 3000 do
      local t = types[math.random(#types)]
      local name = ({'add', 'sub', 'copy'})[math.random(3)]
      local n = math.random(1, 70)
      local a = userdata(t[1], n) fill(a, t[1])
      local other = userdata(t[1], math.random(1, 70)) fill(other, t[1])
      local form = math.random(3)  -- 1: a itself, 2: another record, 3: a scalar
      local b = form == 1 and a or form == 2 and other or nil
      local s = math.random(-300, 300)
      local bo, ao = math.random(-10, 80), math.random(-10, 80)
      local len, spans = math.random(-1, 75), math.random(-1, 12)
      local bs, as = math.random(-6, 9), math.random(-6, 9)
      if math.random(4) == 1 then len, spans = spans, len end
      local want = userdata(t[1], n)
      for i = 0, n - 1 do want[i] = a[i] end
      local wb = form == 1 and want or b
      ref(want, wb, s, bo, ao, len, bs, as, spans, rules[name](t[2]))
      local got = a[name](a, b or s, true, bo, ao, len, bs, as, spans)
      if not same(got, want) then
        if bad == 0 then
          first = table.concat({name, t[1], form, n, bo, ao, len, bs, as, spans}, ' ')
        end
        bad = bad + 1
      end
    end
    return bad .. ' ' .. first
  )");
  EXPECT_EQ(got, "0 ");
}

// The destination given as the second operand, overlapping it at another
// position: each element reads the results already written before it.
TEST_F(ud_methods, WalksIntoTheSecondOperandSeeEarlierResults) {
  std::string got = root_eval(R"(
    math.randomseed(7)
    local bad, first = 0, ''
    for trial = 1, 3000 do
      local n = math.random(1, 40)
      local m = math.random(4) == 1 and math.random(1, 40) or n
      local a, b = userdata('i32', n), userdata('i32', m)
      for i = 0, n - 1 do a[i] = math.random(-99, 99) end
      for i = 0, m - 1 do b[i] = math.random(-99, 99) end
      local want = {}
      for i = 0, m - 1 do want[i] = b[i] end
      local bo, ao = math.random(-5, 45), math.random(-5, 45)
      local len, spans = math.random(0, 45), math.random(0, 4)
      local bs, as = math.random(-3, 6), math.random(-3, 6)
      if n == m then
        -- More spans than elements walks along the spans inside; a stride
        -- below 1 there processes nothing.
        local swapped = spans > len
        local outer, inner = swapped and len or spans, swapped and spans or len
        local sa, sb = swapped and as or 1, swapped and bs or 1
        local oa, ob = swapped and 1 or as, swapped and 1 or bs
        for j = 0, (sa < 1 or sb < 1) and -1 or outer - 1 do
          for k = 0, inner - 1 do
            local ia, ib = ao + j * oa + k * sa, bo + j * ob + k * sb
            if ia >= 0 and ia < n and ib >= 0 and ib < m then want[ia] = a[ia] + want[ib] end
          end
        end
        a:add(b, b, bo, ao, len, bs, as, spans)
        for i = 0, m - 1 do
          if b[i] ~= want[i] then
            if bad == 0 then first = table.concat({n, bo, ao, len, bs, as, spans}, ' ') end
            bad = bad + 1
            break
          end
        end
      end
    end
    return bad .. ' ' .. first
  )");
  EXPECT_EQ(got, "0 ");
}

// A record mapped into memory and moved onto itself there, a byte or a page
// apart, in both directions: each move passes through a staging buffer, so
// no host copy ever has overlapping ends (the sanitizer build would say),
// and the first bytes arrive as they were. Sorting rows wider than the
// staging line, and rows of odd sizes, moves whole rows.
TEST_F(ud_methods, RecordsMovedOntoThemselvesInMemory) {
  const lua_case cases[] = {
      {"local r = userdata('u8', 8192) for i = 0, 8191 do r[i] = i % 251 end "
       "_map_ram(r, 0x100000) r:poke(0x100001) local ok = r[1] == 0 and r[2] == 1 "
       "r:peek(0x100003) _unmap_ram(0x100000) return tostring(ok) .. ' ' .. r[0] .. ' ' .. r[8190]",
       "true 2 0"},
      {"local r = userdata('i16', 4096) for i = 0, 4095 do r[i] = i end "
       "_map_ram(r, 0x100000) r:poke(0x101000) r:peek(0x101000 - 2, 1) _unmap_ram(0x100000) "
       "return r[0] .. ' ' .. r[1] .. ' ' .. r[2048] .. ' ' .. r[4095]",
       "0 2047 2046 2045"},
      {"local u = userdata('i64', 40, 300) for i = 0, #u - 1 do u[i] = (i * 7919) % 1009 end "
       "u:sort(39, true) local ok = true for y = 1, 299 do "
       "ok = ok and u[y * 40 + 39] <= u[y * 40 - 1] and (u[y * 40 + 39] - u[y * 40]) % 1009 == 87 "
       "end "
       "return tostring(ok)",
       "true"},
      {"local u = userdata('i32', 3, 5000) for i = 0, #u - 1 do u[i] = (i * 7919) % 100 - 50 end "
       "u:sort(1) for y = 0, 4999 do if (y > 0 and u[y * 3 + 1] < u[y * 3 - 2]) or "
       "(u[y * 3] - u[y * 3 + 1]) % 100 ~= 81 then return 'row ' .. y end end return 'ok'",
       "ok"},
  };
  run(cases, std::size(cases));
}

// Counts, offsets and strides at the ends of the integers: every bound and
// weight formed from them stays in range (the sanitizer build reports any
// sum or product that wraps) and each call returns at once, done or past the
// bound (a walk of 2^31 spans charges 2^30 cycles even when none touches the
// record).
TEST_F(ud_methods, ExtremeCountsReturnAtOnce) {
  root_eval("U = userdata('u8', 64, 64) F = userdata('f64', 64) L = userdata('i32', 8)");
  const char *calls[] = {
      "U:add(1, true, math.mininteger, math.maxinteger, math.maxinteger, math.mininteger, "
      "math.maxinteger, math.maxinteger)",
      "U:add(U, true, -0x80000000, -0x80000000, 0x7fffffff, -0x80000000, -0x80000000, 0x7fffffff)",
      "F:mod(F, true, 0, 0, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff)",
      "U:lerp(0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff)",
      "U:peek(math.mininteger, math.maxinteger, math.mininteger)",
      "U:poke(math.maxinteger, math.mininteger, math.maxinteger)",
      "U:take(L, nil, 0x7fffffff, 0x7fffffff, 0x7fffffff, -0x80000000, 0x7fffffff, -1)",
      "U:sort(math.maxinteger)",
      "U:sort(math.mininteger, true)",
      "F:matmul(F, nil, 0x7fffffff)",
      "U:get(0, 0, math.maxinteger)",
  };
  int32_t saved_max = cpu_budget.cycles_max;
  for (const char *call : calls) {
    cpu_budget.cycles = 0;
    cpu_budget.cycles_max = CPU_CYCLES_PER_FRAME;
    double start = thread_cpu_ms();
    std::string got = root_eval(std::string("local ok, e = pcall(function() return ") + call +
                                " end) return ok and 'ok' or e");
    double ms = thread_cpu_ms() - start;
    cpu_budget.cycles_max = saved_max;
    EXPECT_LT(ms, 2000) << call;
    // Done, or refused (or charged) past the bound: never another error.
    EXPECT_TRUE(got == "ok" || got.find(CPU_OVERRUN_MESSAGE) != std::string::npos)
        << call << " gave " << got;
  }
  cpu_budget.cycles = 0;
}

}  // namespace
