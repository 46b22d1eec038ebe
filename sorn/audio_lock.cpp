// The audio lock, a plain nesting mutex.
#include "sorn/audio_lock.h"

#include <cstdint>
#include <mutex>

#include "base/debug_log.h"

static std::recursive_mutex audio_mutex;
// Nesting depth, changed only while the mutex is held, so one thread at a time.
static int32_t audio_lock_depth;

void sorn_lock_audio() {
  audio_mutex.lock();
  audio_lock_depth++;
}

void sorn_unlock_audio() {
  INVARIANT(audio_lock_depth > 0);
  audio_lock_depth--;
  audio_mutex.unlock();
}
