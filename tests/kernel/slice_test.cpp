// Slices: budgets, debt, nesting, deferred removal and the C-call count.
#include "base/pbuffer.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "userdata/udata.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"
#include "tests/support/cpu_clock.h"

namespace {

using slice_test = kernel_fixture;

constexpr const char *spin = "while true do end";

TEST_F(slice_test, HalfFrameBudgetAndDebtCarriedIntoTheNextSlices) {
  proc *p = get_process(spawn("burn(300000) while true do end"));
  prepare_processes_for_frame();
  EXPECT_EQ(run_process_slice(p, 0.5), 139810u);
  // burn charged 300000 (after a few instructions) into a 139810 budget.
  int32_t debt = p->debt;
  EXPECT_GT(debt, 300000 - 139810);
  EXPECT_LT(debt, 300000 - 139810 + 100);
  // The next half frame is all debt: it pays the debt down and runs no
  // instruction.
  prepare_processes_for_frame();
  EXPECT_EQ(run_process_slice(p, 0.5), 139810u);
  EXPECT_EQ(p->debt, debt - 139810);
  // The rest of the debt starts the next slice, which loops to its end.
  prepare_processes_for_frame();
  EXPECT_EQ(run_process_slice(p, 1.0), 279620u);
  EXPECT_LE(p->debt, 4);
}

// A process whose debt covers its slice gets no instruction in it, not even
// the one a resume over budget would run; a debt smaller than the slice is
// paid first and the rest of the slice runs. A cheap loop keeps its pace.
TEST_F(slice_test, DebtCoveringTheSliceRunsNoInstruction) {
  proc *p = get_process(spawn("steps = 0 while true do steps += 1 end"));
  auto steps = [&] {
    lua_getglobal(p->L, "steps");
    lua_Integer n = lua_tointeger(p->L, -1);
    lua_pop(p->L, 1);
    return n;
  };
  struct row {
    int32_t debt;
    double fraction;
    uint32_t used;
    int32_t debt_after;
    bool runs;
  };
  const row rows[] = {
      {2796200, 1.0, 279620, 2796200 - 279620, false},
      {279620, 1.0, 279620, 0, false},
      {5000000, 0.5, 139810, 2796200 - 139810, false},
      {200000, 1.0, 279620, 0, true},
      {0, 1.0, 279620, 0, true},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.debt);
    lua_Integer before = steps();
    p->debt = r.debt;
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(p, r.fraction), r.used);
    if (r.runs) {
      EXPECT_GT(steps(), before);
      EXPECT_LE(p->debt, 4);  // at most two instructions past the budget
    } else {
      EXPECT_EQ(steps(), before);
      EXPECT_EQ(p->debt, r.debt_after);
    }
  }
  // A loop that leaves no debt runs every slice to its budget.
  p->debt = 0;
  for (int i = 0; i < 5; i++) {
    lua_Integer before = steps();
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(p, 1.0), 279620u);
    EXPECT_GT(steps() - before, 279620 / 10);
  }
}

// A process looping on work the library does in C (full collections
// through stat(0) or collectgarbage, comparisons of long strings) pays for
// it: once its data is built, each frame's slice costs the host a few
// milliseconds at most, the rest of the charge held back as debt.
TEST_F(slice_test, LoopsOfLibraryWorkPayAndKeepTheirFramesShort) {
  struct row {
    const char *body;
  };
  const row rows[] = {
      {"LIVE = {} for i = 1, 300000 do LIVE[i] = {} end ready = true while true do stat(0) end"},
      {"LIVE = {} for i = 1, 300000 do LIVE[i] = {} end ready = true "
       "while true do collectgarbage() end"},
      {"local a, b = ('x'):rep(8 << 20), ('x'):rep(8 << 20) ready = true "
       "while true do local e = a == b end"},
  };
  const double limit_ms = HOSTILE_CALL_MS;
  for (const row &r : rows) {
    SCOPED_TRACE(r.body);
    int64_t id = spawn(r.body);
    auto ready = [&] {
      proc *p = get_process(id);
      if (!p) return false;
      lua_getglobal(p->L, "ready");
      bool yes = lua_toboolean(p->L, -1);
      lua_pop(p->L, 1);
      return yes;
    };
    for (int frame = 0; frame < 2000 && !ready(); frame++) {
      prepare_processes_for_frame();
      run_process_slice(get_process(id), 1.0);
    }
    ASSERT_TRUE(ready());
    for (int frame = 0; frame < 10; frame++) {
      prepare_processes_for_frame();
      double start = thread_cpu_ms();
      run_process_slice(get_process(id), 1.0);
      EXPECT_LT(thread_cpu_ms() - start, limit_ms) << "frame " << frame;
    }
    ASSERT_NE(get_process(id), nullptr);
    kill_process(get_process(id));
  }
}

// Slices nested through _run_process_slice share the C-call count of the
// code that asked for them: 24 processes each 190 levels deep in gsub
// callbacks, each running the next one's slice, end in Lua's "C stack
// overflow" error instead of exhausting the host stack.
TEST_F(slice_test, NestedSlicesShareTheCCallCount) {
  spawn(spin, "two");
  ASSERT_EQ(spawn(spin, "three"), 3);
  const char *diver = R"(
    local function dive(d)
      if d == 0 then _run_process_slice(pid() + 1, 1)
      else string.gsub("x", "x", function() dive(d - 1) end) end
    end
    dive(190)
    while true do flip() end)";
  int64_t first = spawn(diver);
  for (int i = 1; i < 24; i++) spawn(diver);
  prepare_processes_for_frame();
  run_process_slice(get_process(first), 1.0);
  std::string wm_queue;
  while (pbuffer *e = read_process_message(get_process(3), nullptr))
    wm_queue += std::string((const char *)e->data, (size_t)e->length - 1) + "\n";
  EXPECT_NE(wm_queue.find("C stack overflow"), std::string::npos) << wm_queue;
  EXPECT_EQ(root->state, 0);
  EXPECT_EQ(root_eval("return 1 + 1"), "2");
}

TEST_F(slice_test, DebtIsCappedAtTenFrames) {
  proc *p = get_process(spawn(spin));
  p->debt = 5000000;
  prepare_processes_for_frame();
  double fraction = 100000.0 / 279620.0 + 1e-9;
  EXPECT_EQ(run_process_slice(p, fraction), 100000u);
  EXPECT_EQ(p->debt, 2796200 - 100000);  // paid down: no instruction ran
}

TEST_F(slice_test, SpentFrameRunsNothingMore) {
  proc *a = get_process(spawn(spin));
  proc *b = get_process(spawn(spin));
  prepare_processes_for_frame();
  EXPECT_EQ(run_process_slice(a, 1.0), 279620u);
  EXPECT_EQ(run_process_slice(b, 1.0), 0u);
  EXPECT_EQ(cpu_budget.frame_cycles, 279620);
}

TEST_F(slice_test, ManySlicesDoNotExhaustTheCallCount) {
  // Resuming with the process's own state as `from` would add one C call per
  // slice and fail at 200.
  spawn(spin, "two");
  spawn(spin, "three");  // the test process is not in slot 1, whose failure ends the program
  int64_t id = spawn("local n = 0 while true do n += 1 flip() end");
  for (int i = 0; i < 400; i++) {
    prepare_processes_for_frame();
    run_process_slice(get_process(id), 1.0);
  }
  proc *p = get_process(id);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->state, 0);
}

TEST_F(slice_test, ActiveSliceCannotBeResumedAgain) {
  int64_t id = spawn(R"(
    local a, b, c = _run_process_slice(pid(), 1)
    printh("self: " .. tostring(a) .. " " .. tostring(b) .. " " .. tostring(c))
    _run_process_slice(1, 1)
    while true do flip() end)");
  prepare_processes_for_frame();
  testing::internal::CaptureStdout();
  EXPECT_EQ(root_eval("return (_run_process_slice(" + std::to_string(id) + ", 1))"), "true");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "self: true 0.0 nil\n");
  proc *p = get_process(id);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->state, 0);
  EXPECT_EQ(root->state, 0);
}

TEST_F(slice_test, KillAndRestartOfARunningProcessWaitForItsSliceToEnd) {
  int64_t id = spawn("_kill_process(pid()) printh('still here') while true do flip() end");
  prepare_processes_for_frame();
  testing::internal::CaptureStdout();
  root_eval("_run_process_slice(" + std::to_string(id) + ", 1)");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n");
  EXPECT_EQ(get_process(id), nullptr);

  int64_t r = spawn("runs = (runs or 0) + 1 _kill_process(pid(), 1) printh('restarting') flip()");
  prepare_processes_for_frame();
  testing::internal::CaptureStdout();
  root_eval("_run_process_slice(" + std::to_string(r) + ", 1)");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "restarting\n");
  proc *p = get_process(r);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->state, 0);
  EXPECT_EQ(p->flipped, 0);  // a fresh record: the restart happened after the flip
  EXPECT_EQ(peek_proc(p, 0x547F), 1);
  EXPECT_EQ(p->parent_id, 1);  // a process restarting itself keeps its parent
}

// The process that restarts another becomes its parent, whether the restart
// happens at once or waits for the restarted process's slice to end; the
// child-completed text then goes to it and not to the creator.
TEST_F(slice_test, ARestartMakesTheRestarterTheParent) {
  auto completed_ids = [](proc *p) {
    std::string ids;
    while (pbuffer *m = read_process_message(p, nullptr)) {
      std::string text((const char *)m->data);  // up to the terminating zero
      if (text.find("child_completed") != std::string::npos)
        ids += text.substr(text.find("proc_id=")) + " ";
    }
    return ids;
  };
  int64_t kid = spawn(spin);
  int64_t restarter = spawn("_kill_process(" + std::to_string(kid) + ", 1) flip() _kill_process(" +
                            std::to_string(kid) + ") while true do flip() end");
  // Runs a process that restarts it from inside its slice.
  int64_t host = procs.next_id;
  spawn("_run_process_slice(" + std::to_string(host + 1) + ", 1) while true do flip() end");
  int64_t helper = spawn("_kill_process(" + std::to_string(host) + ", 1) while true do flip() end");

  prepare_processes_for_frame();
  run_process_slice(get_process(restarter), 0.2);
  EXPECT_EQ(get_process(kid)->parent_id, restarter);
  run_process_slice(get_process(host), 0.2);
  EXPECT_EQ(get_process(host)->parent_id, helper);
  EXPECT_EQ(get_process(host)->slice_depth, 0);

  prepare_processes_for_frame();
  run_process_slice(get_process(restarter), 0.2);  // kills the kid
  EXPECT_EQ(get_process(kid), nullptr);
  kill_process_by_id(host);
  EXPECT_EQ(completed_ids(get_process(restarter)), "proc_id=" + std::to_string(kid) + "} ");
  EXPECT_EQ(completed_ids(get_process(helper)), "proc_id=" + std::to_string(host) + "} ");
  EXPECT_EQ(completed_ids(root), "");
}

TEST_F(slice_test, RecordsStayPutWhileTheTableCompacts) {
  int64_t ids[5];
  proc *recs[5];
  for (int i = 0; i < 5; i++) {
    ids[i] = spawn(spin);
    recs[i] = get_process(ids[i]);
  }
  ASSERT_EQ(get_process_count(), 6);
  kill_process_by_index(2);  // the second spawned process
  EXPECT_EQ(get_process_count(), 5);
  EXPECT_EQ(get_process_by_index(2), recs[2]);
  EXPECT_EQ(get_process_by_index(3), recs[3]);
  EXPECT_EQ(get_process(ids[4]), recs[4]);
  EXPECT_EQ(get_process(ids[1]), nullptr);
  // Every id finds its record or none, at either end and around the gap.
  kill_process_by_index(4);  // the last one
  for (int64_t id = -1; id <= ids[4] + 2; id++) {
    proc *want = id == PID_ROOT ? get_process_by_index(0) : nullptr;
    for (int i : {0, 2, 3})
      if (ids[i] == id) want = recs[i];
    EXPECT_EQ(get_process(id), want) << id;
  }
}

TEST_F(slice_test, IdsAreUsedUpByFailedCreationsAndAFullTableRefuses) {
  EXPECT_EQ(spawn(spin), 2);
  EXPECT_EQ(spawn("x = = 1"), 0);
  EXPECT_EQ(spawn(spin), 4);
  proc *p = get_process(4);
  EXPECT_EQ(p->parent_id, 1);
  EXPECT_EQ(p->flags, 0);
  EXPECT_EQ(create_process_from_code("", "t", "/system/apps/terminal.lua", "")->flags, 0);
  EXPECT_EQ(create_process_from_code("", "t", "/system/apps/terminal.lua", "env")->flags, 2);
  EXPECT_EQ(create_process_from_code("", "t", "/system/x.lua", "env")->flags, 3);
  while (get_process_count() < max_processes) ASSERT_NE(spawn(""), 0);
  int64_t next = procs.next_id;
  EXPECT_EQ(spawn(""), 0);
  EXPECT_EQ(procs.next_id, next + 1);
  EXPECT_EQ(get_process_count(), max_processes);
}

TEST(NullSprite, IsOneSharedEmpty16By16Bitmap) {
  udata *s = get_null_sprite();
  EXPECT_EQ(s, get_null_sprite());
  EXPECT_EQ((s->utype & 31), UTYPE_U8);
  EXPECT_EQ(s->dims, 2);
  EXPECT_EQ(s->width * s->height, 256u);
  for (int i = 0; i < 256; i++) ASSERT_EQ(udata_elements(s)[i], 0);
}

TEST_F(slice_test, EndedChildTellsItsParentAndFailuresAreParked) {
  spawn(spin, "two");
  int64_t wm3 = spawn(spin, "three");
  ASSERT_EQ(wm3, 3);
  int64_t id = spawn("local x = 1");
  proc *child = get_process(id);
  prepare_processes_for_frame();
  run_process_slice(child, 1.0);
  EXPECT_EQ(get_process(id), nullptr);
  pbuffer *m = read_process_message(root, nullptr);
  ASSERT_NE(m, nullptr);
  std::string text((const char *)m->data, (size_t)m->length);
  EXPECT_EQ(text.rfind("{event=\"child_completed\",_from=2,_sent_t=", 0), 0u);
  EXPECT_NE(text.find(",proc_id=" + std::to_string(id) + "}"), std::string::npos);
  EXPECT_EQ(text.back(), '\0');

  // A failing process of id 4 or more is reported to process 3 and removed.
  int64_t bad = spawn("error('boom')");
  run_process_slice(get_process(bad), 1.0);
  EXPECT_EQ(get_process(bad), nullptr);
  std::string wm_queue;
  while (pbuffer *e = read_process_message(get_process(3), nullptr))
    wm_queue += std::string((const char *)e->data, (size_t)e->length - 1) + "\n";
  EXPECT_NE(wm_queue.find("content=\"*runtime error\""), std::string::npos);
  EXPECT_NE(wm_queue.find("boom"), std::string::npos);
}

TEST_F(slice_test, ChargesSaturateInsteadOfOverflowing) {
  proc *p = get_process(spawn("burn(0x7fffffff) burn(0x7fffffff) while true do end"));
  prepare_processes_for_frame();
  EXPECT_EQ(run_process_slice(p, 1.0), 279620u);
  // The charge stopped at INT32_MAX (less what the interpreter took back for
  // one-cycle instructions), never wrapped.
  EXPECT_LE(p->debt, INT32_MAX - 279620);
  EXPECT_GE(p->debt, INT32_MAX - 279620 - 8);
  p->cycles_since_flip = INT32_MAX - 5;
  prepare_processes_for_frame();
  EXPECT_EQ(run_process_slice(p, 1.0), 279620u);
  EXPECT_EQ(p->cycles_since_flip, INT32_MAX);
  EXPECT_GE(p->debt, 2796200 - 279620);  // capped before the charge, never wrapped
  EXPECT_LE(p->debt, 2796200 - 279620 + 4);
}

TEST_F(slice_test, FinaliserReadingMessagesDuringADecodeGetsWholeMessages) {
  // Finalisers run during the allocations of a decode and read the next
  // message; every message must still come out whole, exactly once.
  int64_t id = spawn(R"lua(
    local seen = {}
    -- The text is made before its slot is chosen: making it may run a
    -- finaliser that takes the next slot itself.
    local function note(m) if m then local s = m.n .. ":" .. #m.pad seen[#seen + 1] = s end end
    local mt = {__gc = function() note(_read_message()) end}
    for i = 1, 200 do send_message(pid(), {n = i, pad = string.rep("p", i * 7)}) end
    collectgarbage("incremental", 1, 400)
    for i = 1, 200 do
      for j = 1, 20 do setmetatable({}, mt) end
      note(_read_message())
    end
    collectgarbage()
    local ok = #seen == 200
    local got = {}
    for _, s in ipairs(seen) do
      local n, len = s:match("(%d+):(%d+)")
      if tonumber(len) ~= tonumber(n) * 7 or got[n] then ok = false end
      got[n] = true
    end
    printh("finaliser reads " .. tostring(ok) .. " " .. #seen)
    while true do flip() end)lua");
  testing::internal::CaptureStdout();
  for (int frame = 0; frame < 100 && get_process(id) && !get_process(id)->flipped; frame++) {
    prepare_processes_for_frame();
    run_process_slice(get_process(id), 1.0);
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "finaliser reads true 200\n");
}

TEST_F(slice_test, FinalisersOfAClosingStateCannotUpsetTheTable) {
  int64_t other = spawn(spin, "other");
  int64_t id = spawn(R"lua(
    setmetatable({}, {__gc = function()
      printh("gc: " .. tostring(_run_process_slice(pid(), 1)))
      _kill_process(pid())
      _kill_process(pid(), 1)
      _kill_process()lua" +
                     std::to_string(other) + R"lua()
      _create_process_from_code("while true do flip() end", "late", "/late.lua")
    end})
    while true do flip() end)lua");
  int64_t last = spawn(spin, "last");
  prepare_processes_for_frame();
  run_process_slice(get_process(id), 1.0);
  testing::internal::CaptureStdout();
  kill_process(get_process(id));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "gc: true\n");
  EXPECT_EQ(get_process(id), nullptr);
  EXPECT_EQ(get_process(other), nullptr);
  ASSERT_EQ(get_process_count(), 3);  // root, last, late
  EXPECT_EQ(get_process_by_index(0), root);
  EXPECT_EQ(get_process_by_index(1)->id, last);
  EXPECT_STREQ(get_process_by_index(2)->name, "late");
}

// The registry is open to a process (debug.getregistry), but what keeps its
// draw target alive is not in it: a program that empties every table it
// finds there leaves the target set and alive, so drawing, and the delayed
// print that goes on each frame, write into it and nothing is ever held back
// from the heap for it.
TEST_F(slice_test, ADrawTargetCollectedWhileSetIsNeverFreedUnderTheDrawing) {
  int64_t id = spawn(R"lua(
    poke(0x5F56, 0x40)
    for c = 65, 72 do memset(0x4000 + 8 * c, 0xff, 8) end
    _set_draw_target(userdata("u8", 64, 8))
    _print_q7scii("\6d1ABCDEFGH", 0, 0, 7)
    for k, v in pairs(debug.getregistry()) do
      if type(k) ~= "number" and type(v) == "table" then
        for kk in pairs(v) do v[kk] = nil end
      end
    end
    collectgarbage() collectgarbage()
    local reuse = {}
    for i = 1, 64 do reuse[i] = userdata("u8", 64, 8) end
    rectfill(0, 0, 63, 7, 9)
    flip()
    _set_draw_target(userdata("u8", 8, 8))
    rectfill(0, 0, 7, 7, 9)
    while true do flip() end)lua");
  for (int frame = 0; frame < 12; frame++) {
    prepare_processes_for_frame();
    run_process_slice(get_process(id), 0.5);
    ASSERT_NE(get_process(id), nullptr);
    EXPECT_EQ(get_process(id)->lost_target_block, nullptr);
  }
  EXPECT_EQ(get_process(id)->lost_target_block, nullptr);  // released by the new target
  EXPECT_EQ(get_process(id)->state, 0);
}

}  // namespace
