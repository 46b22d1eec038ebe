// The audio lock, a plain nesting mutex.
#include "sorn/audio_lock.h"

#include <mutex>

static std::recursive_mutex audio_mutex;

void sorn_lock_audio() { audio_mutex.lock(); }
void sorn_unlock_audio() { audio_mutex.unlock(); }
