// The per-process allocator: accounted sizes, charges and failures.
#include "machine/alloc.h"

#include <sys/resource.h>

#include <cstdint>
#include <cstring>

#include "base/pbuffer.h"
#include "machine/message.h"
#include "kernel/process_life.h"
#include "kernel/slice.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using alloc_test = kernel_fixture;

TEST_F(alloc_test, ChargesBySizeAndCountsAccountedBytes) {
  cpu_budget.cycles = 0;
  int64_t heap = root->heap_bytes;
  EXPECT_EQ(l_alloc(nullptr, nullptr, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(cpu_budget.cycles, 0);  // a free of nothing charges nothing

  void *a = l_alloc(nullptr, nullptr, 0, 1000, 0, 1600);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(cpu_budget.cycles, 11);
  EXPECT_EQ(root->heap_bytes, heap + 1600);
  void *b = l_alloc(nullptr, nullptr, 0, 127, 0, 127);
  EXPECT_EQ(cpu_budget.cycles, 15);
  a = l_alloc(nullptr, a, 1000, 10, 0, 160);  // shrinking replaces the charge
  EXPECT_EQ(root->heap_bytes, heap + 160 + 127);
  l_alloc(nullptr, a, 10, 0, 0, 0);
  l_alloc(nullptr, b, 127, 0, 0, 0);
  EXPECT_EQ(root->heap_bytes, heap);
}

TEST_F(alloc_test, FailedGrowthKeepsTheBlockAndRetryFailureMarksTheProcess) {
  void *a = l_alloc(nullptr, nullptr, 0, 64, 0, 64);
  ASSERT_NE(a, nullptr);
  std::memset(a, 0x5A, 64);
  int64_t heap = root->heap_bytes;
  cpu_budget.superyielding = 0;
  EXPECT_EQ(l_alloc(nullptr, a, 64, SIZE_MAX - 4, 0, 64), nullptr);
  EXPECT_EQ(root->heap_bytes, heap);
  EXPECT_EQ(root->kill_flag, 0);
  EXPECT_EQ(cpu_budget.superyielding, 0);
  EXPECT_EQ(((unsigned char *)a)[63], 0x5A);

  EXPECT_EQ(l_alloc(nullptr, a, 64, SIZE_MAX - 4, 1, 64), nullptr);
  EXPECT_EQ(root->kill_flag, 1);
  EXPECT_EQ(cpu_budget.superyielding, CPU_FORCE_YIELD);
  cpu_budget.superyielding = 0;
  root->kill_flag = 0;
  l_alloc(nullptr, a, 64, 0, 0, 0);
}

TEST_F(alloc_test, GrowthPastTheLimitAndHeadroomIsRefusedBeforeTheHost) {
  // Leave 1000 bytes of room below the hard cap.
  root->baseline -= memory_limit + alloc_headroom - proc_counted_memory(root) - 1000;
  struct {
    size_t accounted;
    int retry;
    bool granted, marked;
  } cases[] = {
      {1000, 0, true, false},                        // exactly fills the room
      {1001, 0, false, false},                       // a collection may still help
      {1001, 1, false, true},                        // the retry after it failed
      {size_t(alloc_headroom) + 1, 0, false, true},  // no collection can help
      {size_t(1900) << 20, 0, false, true},          // never reaches the host
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.accounted);
    int64_t heap = root->heap_bytes;
    void *a = l_alloc(nullptr, nullptr, 0, c.accounted, c.retry, c.accounted);
    EXPECT_EQ(a != nullptr, c.granted);
    EXPECT_EQ(root->kill_flag != 0, c.marked);
    EXPECT_EQ(root->heap_bytes, heap + (c.granted ? int64_t(c.accounted) : 0));
    if (a) l_alloc(nullptr, a, c.accounted, 0, 0, 0);
    root->kill_flag = 0;
    cpu_budget.superyielding = 0;
  }
  // Shrinking is never refused, even past the cap.
  void *a = l_alloc(nullptr, nullptr, 0, 64, 0, 64);
  root->baseline -= 10000;
  EXPECT_NE(a = l_alloc(nullptr, a, 64, 32, 0, 32), nullptr);
  l_alloc(nullptr, a, 32, 0, 0, 0);
}

TEST_F(alloc_test, ProcessOverTheMemoryLimitIsRemovedAndReported) {
  create_process_from_code("while true do flip() end", "two", "/t", "");
  proc *wm = create_process_from_code("while true do flip() end", "three", "/t", "");
  ASSERT_EQ(wm->id, 3);
  proc *p = create_process_from_code(
      "local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 4000) .. i end", "hog", "/t", "");
  int64_t id = p->id;
  bool removed = false;
  for (int frame = 0; frame < 200 && !removed; frame++) {
    prepare_processes_for_frame();
    run_process_slice(get_process(id), 1.0);
    update_processes_after_frame();
    removed = get_process(id) == nullptr;
  }
  EXPECT_TRUE(removed);
  std::string queue;
  while (pbuffer *m = read_process_message(wm, nullptr)) queue += (const char *)m->data;
  EXPECT_NE(queue.find("content=\"*runtime error: out of memory\",_from=" + std::to_string(id)),
            std::string::npos);
}

}  // namespace

#ifndef __SANITIZE_ADDRESS__  // the sanitizer's allocator keeps its own policy
// The minor page faults of filling a freshly allocated large block.
static long faults_of_new_block(size_t bytes) {
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  void *p = l_alloc(nullptr, nullptr, 0, bytes, 0, bytes);
  EXPECT_NE(p, nullptr);
  if (p) std::memset(p, 0x5A, bytes);
  getrusage(RUSAGE_SELF, &after);
  l_alloc(nullptr, p, bytes, 0, 0, 0);
  return after.ru_minflt - before.ru_minflt;
}

TEST_F(alloc_test, FreedLargeBlocksAreReusedWithoutFaultingTheirPagesAgain) {
  alloc_keep_freed_memory();
  const size_t bytes = size_t(12) << 20;  // 3072 pages
  faults_of_new_block(bytes);             // the heap may grow the first time
  // Every later block of the size reuses the pages of the freed one; the
  // host's default maps and unmaps such a block, or trims it off the heap,
  // so each new one faults all its pages in.
  for (int i = 0; i < 3; i++) EXPECT_LT(faults_of_new_block(bytes), 300) << "block " << i;
}
#endif
