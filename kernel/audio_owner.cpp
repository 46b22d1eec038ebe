// Audio ownership and the memory mirror of the owning process.
#include "kernel/audio_owner.h"

#include "host/capture.h"
#include "kernel/app.h"
#include "kernel/process.h"
#include "sorn/audio_lock.h"
#include "sorn/sorn.h"

inline constexpr int64_t AUDIO_NO_OWNER = -2;
inline constexpr int64_t AUDIO_NOTHING_MIRRORED = -3;

static void clear_mirror() { sorn_memset(0, 0, int32_t(RAM_SIZE)); }

// Copies the owner's pages into the mirror: every page, or with only_changed
// the pages written since they were last copied.
static void mirror_pages(proc *owner, bool only_changed) {
  proc_memory &m = owner->mem;
  for (uint32_t i = 0; i < RAM_PAGES; i++) {
    if (only_changed && !(m.page_flags[i] & PAGE_AUDIO_CHANGED)) continue;
    int32_t at = int32_t(i * RAM_PAGE_SIZE), mapped = m.mapped_length[i];
    if (mapped > 0) sorn_memcpy(at, m.page_pointer[i], mapped);
    if (mapped < int32_t(RAM_PAGE_SIZE)) {
      int32_t rest = int32_t(RAM_PAGE_SIZE) - mapped;
      if (m.own_page[i])
        sorn_memcpy(at + mapped, m.own_page[i] + mapped, rest);
      else
        sorn_memset(at + mapped, 0, rest);
    }
    m.page_flags[i] &= uint8_t(~PAGE_AUDIO_CHANGED);
  }
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
  if (force || !same) mirror_pages(owner, same);
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
  if (app.audio_capture_on) audio_capture_end();
  sorn_kill_all_audio();
  clear_mirror();
  app.audio_owner = AUDIO_NO_OWNER;
  app.mirrored_owner = AUDIO_NOTHING_MIRRORED;
  sorn_unlock_audio();
}
