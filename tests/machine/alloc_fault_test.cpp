// Every allocation of a process's Lua state is made to fail in turn, over
// creating the process and running a slice that sends a message and round-
// trips a value through pod: each time the process is either not created,
// ends cleanly, or is removed, and the kernel's tables stay consistent (the
// sanitizer build also checks that nothing leaks).
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/alloc.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

const char *const program = R"(
  local t = {}
  for i = 1, 40 do t[i] = {n = i, s = "item" .. i} end
  send_message(1, {event = "probe", count = #t})
  local v = unpod(pod({a = 1, b = {2, 3}, c = "text"}))
  assert(v.b[2] == 3)
)";

struct alloc_fault_test : kernel_fixture {
  // Creates the program (with fail_at as given) and runs it for one frame;
  // the number of allocations attempted.
  int64_t run_with_failure_at(int64_t fail_at) {
    // Slots 0 and 1 and ids below 4 are the system's: fill them first so that
    // the program is an ordinary user process.
    while (procs.next_id < PID_FIRST_USER) EXPECT_NE(spawn("-- filler"), 0);
    int32_t before = procs.count;
    alloc_faults = {0, fail_at, false};
    proc *p = create_process_from_code(program, "probe", "/probe.lua", "");
    if (!p) {
      EXPECT_EQ(procs.count, before) << "failed creation left a record, N=" << fail_at;
    } else {
      int64_t id = p->id;
      prepare_processes_for_frame();
      run_process_slice(p, 1.0);
      update_processes_after_frame();
      if (proc *q = get_process(id)) {
        EXPECT_NE(q->state, 0) << "did not end, N=" << fail_at;
      }
    }
    int64_t attempts = alloc_faults.attempts;
    alloc_faults = {};
    // The root's queue holds whole messages only.
    const pbuffer *q = root->message_buffer;
    EXPECT_TRUE(q->length == 0 || q->data[q->length - 1] == 0) << "N=" << fail_at;
    for (int32_t i = 0; i < max_processes; i++)
      EXPECT_EQ(procs.slot[i] != nullptr, i < procs.count) << "slot " << i << ", N=" << fail_at;
    return attempts;
  }
};

TEST_F(alloc_fault_test, EachFailedAllocationLeavesTheSystemConsistent) {
  int64_t total = run_with_failure_at(0);
  ASSERT_GT(total, 100);
  EXPECT_GE(root->message_buffer->length, 1) << "the program's message was not sent";
  for (int64_t n = 1; n <= total && !HasFailure(); n++) {
    TearDown();
    SetUp();
    run_with_failure_at(n);
  }
  std::printf("each of %lld allocations failed in turn\n", (long long)total);
}

}  // namespace
