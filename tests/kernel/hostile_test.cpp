// A program that reaches into its registry, or sends with little memory
// left: the records the kernel points at stay alive, no registry value is
// trusted for its type, and a message is delivered or refused out loud.
#include "base/pbuffer.h"
#include "machine/memory.h"
#include "machine/memory_room.h"
#include "machine/message.h"
#include "userdata/udata.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using hostile_test = kernel_fixture;

// Removes every key of the registry that is not a number, collects, and
// then makes records of the sizes just held so that freed blocks are taken
// again (zero-filled) by new ones.
const char *const wipe_registry = R"(
  local r = debug.getregistry()
  local keys = {}
  for k in next, r do if math.type(k) == nil then keys[#keys + 1] = k end end
  for i = 1, #keys do r[keys[i]] = nil end
  for i = 1, 3 do collectgarbage() end
  churn = {}
  for i = 1, 64 do
    churn[#churn + 1] = userdata('u8', 8192)
    churn[#churn + 1] = userdata('i16', 16, 16)
    churn[#churn + 1] = userdata('u8', 8, 8)
    churn[#churn + 1] = userdata('u8', 40, 30)
  end)";

TEST_F(hostile_test, RecordsTheKernelPointsAtOutliveAWipedRegistry) {
  // Each record is dropped by the program at once: only the kernel's
  // pointer is left to keep it.
  EXPECT_EQ(root_eval(R"(
    local a = userdata('u8', 8192) a[0] = 11 a[8191] = 12
    _map_ram(a, 0x80000)
    local m = userdata('i16', 16, 16) m[3] = 77
    _map_ram(m, 0x100000)
    local s = userdata('u8', 8, 8) s[2] = 6
    _set_spr(5, s)
    local d = userdata('u8', 40, 30) d[41] = 9
    _set_draw_target(d)
    return 'set')"),
            "set");
  EXPECT_EQ(root_eval(wipe_registry), "nil");
  for (int i = 0; i < 3; i++) lua_gc(root->L, LUA_GCCOLLECT);
  struct {
    const char *what, *code, *want;
  } cases[] = {
      {"mapped pages read", "return peek(0x80000) .. ' ' .. peek(0x81fff)", "11 12"},
      {"mapped pages written", "poke(0x80001, 5) return peek(0x80001)", "5"},
      {"current map", "return mget(3, 0)", "77"},
      {"draw target", "return pget(1, 1)", "9"},
  };
  for (const auto &c : cases) EXPECT_EQ(root_eval(c.code), c.want) << c.what;
  ASSERT_NE(root->sprites[5], nullptr);
  EXPECT_EQ(udata_get_int(root->sprites[5], 2), 6);
  // The workstation runs on: a process made after the wipe runs its slices.
  int64_t id = spawn("for i = 1, 3 do flip() end");
  ASSERT_NE(id, 0);
  for (int i = 0; i < 10 && get_process(id); i++) run_process_slice(get_process(id), 1.0);
  EXPECT_EQ(get_process(id), nullptr);
}

TEST_F(hostile_test, RegistryValuesAreNeverTrustedForTheirType) {
  struct {
    const char *what, *code, *want;
  } cases[] = {
      {"globals slot a number: a new record",
       "debug.getregistry()[2] = 0x41414140 return type(userdata('u8', 4))", "userdata"},
      {"globals slot a number: an operation's result",
       "local a = userdata('u8', 4) debug.getregistry()[2] = 0x41414140 "
       "return type(a + 1)",
       "userdata"},
      {"globals slot a string: a record decoded from text",
       "local t = pod(userdata('u8', 2)) debug.getregistry()[2] = 'x' "
       "return type(unpod(t))",
       "userdata"},
      {"hook table a number: the hook runs on",
       "debug.sethook(function() end, '', 100) debug.getregistry()._HOOKKEY = 0x41414140 "
       "local n = 0 for i = 1, 10000 do n = n + 1 end debug.sethook() return 'ran ' .. n",
       "ran 10000"},
      {"hook table a string: gethook",
       "debug.sethook(function() end, '', 1000) debug.getregistry()._HOOKKEY = 'x' "
       "local h = debug.gethook() debug.sethook() return tostring(h)",
       "nil"},
      {"registry's array part emptied: load",
       "local r = debug.getregistry() r[1] = nil r[2] = nil "
       "for i = 1, 100 do r['k' .. i] = i end collectgarbage() "
       "local f = load('return 7') return tostring(f())",
       "7"},
      {"main thread slot replaced", "debug.getregistry()[1] = 7 return type(userdata('u8', 4))",
       "userdata"},
  };
  for (const auto &c : cases) {
    int64_t id = spawn("");
    ASSERT_NE(id, 0);
    proc *p = get_process(id);
    set_current_process(p);
    int rc = luaL_loadstring(p->L, c.code);
    if (rc == LUA_OK) rc = lua_pcall(p->L, 0, 1, 0);
    EXPECT_EQ(rc, LUA_OK) << c.what;
    EXPECT_STREQ(lua_tostring(p->L, -1), c.want) << c.what;
    lua_pop(p->L, 1);
    set_current_process(root);
    kill_process(p);
  }
}

TEST_F(hostile_test, AMessageLargerThanTheSendersRoomIsDelivered) {
  // The sender holds all but about 1 MiB of its room and sends a 1 MiB
  // string: the text goes to the receiver, which has room for it.
  int64_t id = spawn("");
  ASSERT_NE(id, 0);
  proc *sender = get_process(id);
  set_current_process(sender);
  int64_t room = memory_room_left();
  ASSERT_GT(room, 2 << 20);
  // Bring the room down to about 1 MiB.
  std::string fill = "hold = string.rep('y', " + std::to_string(room - (1 << 20) - 65536) + ")";
  ASSERT_EQ(luaL_dostring(sender->L, fill.c_str()), LUA_OK);
  room = memory_room_left();
  EXPECT_LT(room, (1 << 20) + 131072);
  std::string send = "send_message(" + std::to_string(root->id) + ", {data = string.rep('m', " +
                     std::to_string(room) + ")})";
  ASSERT_EQ(luaL_dostring(sender->L, send.c_str()), LUA_OK) << lua_tostring(sender->L, -1);
  set_current_process(root);
  EXPECT_EQ(root_eval("local m = _read_message() return m and #m.data .. ' ' .. m._from"),
            std::to_string(room) + " " + std::to_string(id));
}

TEST_F(hostile_test, AMessageIsBoundedByTheReceiversQueueRoom) {
  // The receiver's queue is filled to leave `left` bytes of room; a message
  // just under it arrives whole, one past it is dropped.
  const int64_t left = 1 << 20;
  struct {
    int64_t data;
    bool arrives;
  } cases[] = {{left - 200, true}, {left + 10, false}, {8 * left, false}};
  for (const auto &c : cases) {
    int64_t id = spawn("");
    ASSERT_NE(id, 0);
    proc *receiver = get_process(id);
    std::string filler(size_t(message_queue_room(receiver) - left - 1), 'f');
    ASSERT_GT(send_process_message_string(receiver, filler.c_str()), 0);
    ASSERT_EQ(message_queue_room(receiver), left);
    EXPECT_EQ(root_eval("m = {data = string.rep('m', " + std::to_string(c.data) + ")}"), "nil");
    root_eval("send_message(" + std::to_string(id) + ", m)");
    EXPECT_EQ(message_queue_room(receiver) < left, c.arrives) << c.data;
    kill_process(receiver);
  }
}

TEST_F(hostile_test, AResumedPrintStopsAtTheOverrunBoundOfWhatItSpends) {
  // Each step after the pause clears the whole 2048 x 2048 target: the
  // resumed print is charged what the clears cost, and the frame loop drops
  // the rest of the text once that passes the overrun bound (2000 clears
  // would hold the frame for seconds).
  int64_t id = spawn(R"(
    _set_draw_target(userdata('u8', 2048, 2048))
    _print_q7scii("\0061" .. string.rep("\6c5", 2000))
    while true do flip() end)");
  ASSERT_NE(id, 0);
  run_process_slice(get_process(id), 1.0);
  proc *p = get_process(id);
  ASSERT_NE(p->print.text, nullptr);
  int32_t debt_before = p->debt;
  prepare_processes_for_frame();
  EXPECT_EQ(p->print.text, nullptr);
  EXPECT_LT(p->debt - debt_before, 2 * CPU_OVERRUN_LIMIT);
  EXPECT_EQ(cpu_budget.cycles_max, CPU_OUTSIDE_SLICE);  // the frame's own budget is back
}

TEST_F(hostile_test, AFailureIsReportedWhateverTheRegistryHolds) {
  // Reading the traceback of a failed process looks in its registry: a
  // metamethod there that fails, or never returns, leaves the report
  // without names, and the workstation runs on.
  const char *const spin = "while true do flip() end";
  spawn(spin, "two");
  ASSERT_EQ(spawn(spin, "three"), 3);
  const char *const cases[] = {
      "setmetatable(debug.getregistry(), {__index = function() error('meta') end})",
      "setmetatable(debug.getregistry(), {__index = function() while true do end end})",
      // the metamethod closes the failed main thread, dropping what its
      // stack held, and collects
      "M = coroutine.running() local u = userdata('u8', 8192) _map_ram(u, 0x80000) u = nil "
      "setmetatable(r, {__index = function() pcall(coroutine.close, M) collectgarbage() "
      "collectgarbage() poke(0x80000, peek(0x80001)) end})",
  };
  for (const char *setup : cases) {
    std::string code =
        "local r = debug.getregistry() r._LOADED = nil " + std::string(setup) + " error('boom')";
    int64_t bad = spawn(code);
    ASSERT_NE(bad, 0);
    run_process_slice(get_process(bad), 1.0);
    EXPECT_EQ(get_process(bad), nullptr) << setup;
    std::string wm_queue;
    while (pbuffer *e = read_process_message(get_process(3), nullptr))
      wm_queue += std::string((const char *)e->data, (size_t)e->length - 1) + "\n";
    EXPECT_NE(wm_queue.find("boom"), std::string::npos) << setup;
  }
}

TEST_F(hostile_test, AFinalizerNeverResumesOrClosesTheMainThread) {
  // Finalizers run while the process is removed, on top of its main thread
  // that yielded at flip(): from a coroutine they see that thread as
  // "normal", and can neither resume it nor close it.
  const char *const cases[] = {
      "coroutine.resume(M)",
      "coroutine.close(M)",
  };
  for (const char *attack : cases) {
    std::string code =
        "M = coroutine.running() local u = userdata('u8', 8192) _map_ram(u, 0x80000) "
        "u = nil setmetatable({}, {__gc = function() local co = coroutine.create("
        "function() local s = coroutine.status(M) pcall(function() " +
        std::string(attack) +
        " end) collectgarbage() poke(0x80000, 1) return s end) "
        "local ok, s repeat ok, s = coroutine.resume(co) until coroutine.status(co) == 'dead' "
        "send_message(1, {status = s}) end}) "
        "flip() while true do flip() end";
    int64_t id = spawn(code);
    ASSERT_NE(id, 0);
    run_process_slice(get_process(id), 1.0);
    ASSERT_NE(get_process(id), nullptr) << attack;
    kill_process(get_process(id));
    EXPECT_EQ(get_process(id), nullptr) << attack;
    EXPECT_EQ(root_eval("local s = {} for m in _read_message do s[#s + 1] = m.status end "
                        "return table.concat(s, ' ')"),
              "normal")
        << attack;
  }
}

}  // namespace
