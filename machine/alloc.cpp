// Per-process Lua allocator with accounted sizes and allocation charges.
#include "machine/alloc.h"

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/cpu_budget.h"
#include "base/debug_log.h"
#include "machine/memory_room.h"
#include "machine/process.h"

static constexpr size_t header_size = 8;

alloc_fault_state alloc_faults;

void alloc_keep_freed_memory() {
  mallopt(M_MMAP_THRESHOLD, int(memory_limit));
  mallopt(M_TRIM_THRESHOLD, int(2 * memory_limit));
}

// True when this call is the injected failure (or its retry).
static bool injected_failure(int retry) {
  if (retry) {
    bool fail = alloc_faults.failing;
    alloc_faults.failing = false;
    return fail;
  }
  alloc_faults.attempts++;
  alloc_faults.failing = alloc_faults.fail_at > 0 && alloc_faults.attempts == alloc_faults.fail_at;
  return alloc_faults.failing;
}

void alloc_release_lost_target(proc *p) {
  if (!p || !p->lost_target_block) return;
  std::free(p->lost_target_block);
  p->lost_target_block = nullptr;
}

// True when the block of size bytes at ptr holds owner's draw target.
static bool holds_draw_target(const proc *owner, const void *ptr, size_t size) {
  if (!owner || !owner->draw_target) return false;
  uintptr_t at = (uintptr_t)owner->draw_target, start = (uintptr_t)ptr;
  return at >= start && at - start < size;
}

void *l_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int retry, size_t accounted) {
  uint8_t *block = ptr ? (uint8_t *)ptr - header_size : nullptr;
  uint64_t old_accounted = 0;
  if (block) std::memcpy(&old_accounted, block, sizeof old_accounted);

  if (nsize == 0) {
    if (block) {
      proc *owner = static_cast<proc *>(ud);
      if (holds_draw_target(owner, ptr, osize)) {
        INVARIANT(!owner->lost_target_block);
        alloc_release_lost_target(owner);
        owner->lost_target_block = block;
      } else {
        std::free(block);
      }
      if (cproc) cproc->heap_bytes -= (int64_t)old_accounted;
    }
    return nullptr;
  }

  // new size / 128 + 4 cycles, taken as a signed 32-bit value: a size that
  // wraps to a negative cost charges nothing.
  spend_cpu((int32_t)(uint32_t)(nsize / 128 + 4));

  // Growth past the limit and its headroom is refused before the host gives
  // the memory. A refusal that no collection can mend (the retry after the
  // emergency collection, or one block larger than the headroom) removes
  // the process; a first attempt leaves Lua room to collect and retry.
  bool refused = false;
  if (cproc && accounted > old_accounted) {
    uint64_t growth = accounted - old_accounted;
    int64_t room = memory_limit + alloc_headroom - proc_counted_memory(cproc);
    if (room < 0 || growth > (uint64_t)room) {
      refused = true;
      cproc->memory_refused = 1;
      if (growth > (uint64_t)alloc_headroom) retry = 1;
    }
  }
  uint8_t *grown = !refused && nsize <= SIZE_MAX - header_size && !injected_failure(retry)
                       ? (uint8_t *)std::realloc(block, nsize + header_size)
                       : nullptr;
  if (!grown) {
    if (retry && cproc) {
      cproc->kill_flag = 1;
      cpu_budget.superyielding = CPU_FORCE_YIELD;
    }
    return nullptr;
  }
  uint64_t acc = accounted;
  std::memcpy(grown, &acc, sizeof acc);
  if (cproc) cproc->heap_bytes += (int64_t)acc - (int64_t)old_accounted;
  return grown + header_size;
}
