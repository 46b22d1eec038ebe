// Audio ownership and the memory mirror of the owning process.
#include "sorn/audio_owner.h"

#include "base/cpu_budget.h"
#include "machine/app.h"
#include "machine/process.h"
#include "sorn/audio_lock.h"
#include "sorn/hooks.h"
#include "sorn/sorn.h"

static void clear_mirror() { sorn_mirror_clear(); }

// Cycles charged for mirroring: a page compared costs a quarter of a page
// copied, which costs what a memcpy of it does.
static constexpr int64_t mirror_copy_cycles = RAM_PAGE_SIZE / 128;
static constexpr int64_t mirror_compare_cycles = RAM_PAGE_SIZE / 512;

static bool page_mapped(const proc_memory &m, uint32_t i) {
  return m.mapped_length[i] > 0 && m.page_pointer[i] != m.own_page[i];
}

// Whether every mapped page must be compared: a record mapped at more than
// one run was written through, or, while some record is, a mapped page was
// written through memory (what it shows may show at another run too).
static bool all_mapped_pages_changed(const proc_memory &m) {
  if (m.mapped_marks & MAPPED_ALL_WRITTEN) return true;
  if (!(m.mapped_marks & MAPPED_ALIASED)) return false;
  for (uint32_t i = 0; i < RAM_PAGES; i++)
    if ((m.page_flags[i] & PAGE_MEMORY_WRITE) && (m.page_flags[i] & PAGE_AUDIO_CHANGED) &&
        page_mapped(m, i))
      return true;
  return false;
}

// Brings the mirror up to date with the owner's memory and returns the
// cycles that took. With only_changed, the pages written since they were last
// mirrored are compared (a write through a mapped record marks the pages it
// shows in, udata_mark_mapped_pages), so an untouched mapping costs nothing;
// otherwise every page is. Only pages that differ are copied, so a change of
// owner costs what the two memories differ by, not 16 MiB.
static int64_t mirror_pages(proc *owner, bool only_changed) {
  proc_memory &m = owner->mem;
  int64_t cycles = 0;
  bool all_mapped = all_mapped_pages_changed(m);
  // Marks are taken in: the next write through a record marks it again.
  m.mapped_write_seen = nullptr;
  m.mapped_marks &= uint8_t(~MAPPED_ALL_WRITTEN);
  for (uint32_t i = 0; i < RAM_PAGES; i++) {
    bool changed = (m.page_flags[i] & PAGE_AUDIO_CHANGED) || (all_mapped && page_mapped(m, i));
    if (only_changed && !changed) continue;
    if (m.mapped_length[i] > 0 || m.own_page[i]) cycles += mirror_compare_cycles;
    if (sorn_mirror_page(i, m.page_pointer[i], m.mapped_length[i], m.own_page[i]))
      cycles += mirror_copy_cycles;
    m.page_flags[i] &= uint8_t(~(PAGE_AUDIO_CHANGED | PAGE_MEMORY_WRITE));
  }
  return cycles;
}

// Whether process id may take the audio from the current owner.
static bool may_take_audio(int64_t id) {
  sorn_lock_audio();
  bool playing = sorn_anything_is_playing() != 0;
  sorn_unlock_audio();
  if (!playing) return true;
  proc *owner = get_process(app.audio_owner), *caller = get_process(id);
  // An owner that has left the table (until the next settle step) has no claim.
  if (!owner) return true;
  int32_t mine = caller ? caller->audio_priority : 0;
  return owner->audio_priority <= mine;
}

int audio_op_start(int64_t id, int force) {
  if (id >= PID_FIRST_USER && id != app.audio_owner) {
    if (!may_take_audio(id)) return 1;
    app.audio_owner = id;
  } else if (id >= PID_ROOT && id < PID_FIRST_USER) {
    app.audio_owner = id;
  }
  sorn_lock_audio();
  proc *owner = get_process(app.audio_owner);
  if (!owner) {
    if (app.audio_owner != AUDIO_NO_OWNER) {
      clear_mirror();
      app.audio_owner = AUDIO_NO_OWNER;
      sorn_kill_all_audio();
    }
    sorn_unlock_audio();
    return 1;
  }
  bool same = app.audio_owner == app.mirrored_owner;
  int64_t cycles = force || !same ? mirror_pages(owner, same) : 0;
  // The process on whose behalf the mirror was brought up to date (the one
  // taking the audio) pays for it; the kernel's own settle step pays nothing.
  if (cycles > 0 && id > 0 && cproc && cproc->id == id) spend_cpu(cycles);
  if (!same) sorn_kill_all_audio();
  app.mirrored_owner = app.audio_owner;
  return 0;
}

void audio_op_end() { sorn_unlock_audio(); }

void audio_owner_restart(int64_t id) {
  sorn_lock_audio();
  if (app.audio_owner == id) {
    sorn_kill_all_audio();
    app.audio_owner = AUDIO_NO_OWNER;
  }
  if (app.mirrored_owner == id) app.mirrored_owner = AUDIO_NOTHING_MIRRORED;
  sorn_unlock_audio();
}

void audio_owner_reset() {
  sorn_lock_audio();
  if (app.audio_capture_on && sorn_hook.end_audio_capture) sorn_hook.end_audio_capture();
  sorn_kill_all_audio();
  clear_mirror();
  app.audio_owner = AUDIO_NO_OWNER;
  app.mirrored_owner = AUDIO_NOTHING_MIRRORED;
  sorn_unlock_audio();
}
