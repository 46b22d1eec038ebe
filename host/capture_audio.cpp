// Raw audio capture: the bytes the device was given, kept while the capture
// runs and written out as one file at its end.
#include "host/capture_audio.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "base/klog.h"
#include "base/pbuffer.h"
#include "machine/app.h"
#include "machine/message.h"
#include "sorn/audio_lock.h"
#include "pdisk/pfile.h"
#include "host/capture_settings.h"

namespace {

constexpr int32_t AUDIO_BYTES_PER_SECOND = 44100 * 4;
constexpr int32_t AUDIO_START_ROOM = 10 * AUDIO_BYTES_PER_SECOND;

std::atomic_ref<uint32_t> capture_flag() { return std::atomic_ref<uint32_t>(app.audio_capture_on); }

}  // namespace

void audio_capture_start() {
  if (audio_capture_running()) return;
  destroy_buffer(app.capture_buffer);
  app.capture_buffer = create_buffer_2(AUDIO_START_ROOM, 'a');
  capture_flag().store(1, std::memory_order_release);
}

int audio_capture_running() { return capture_flag().load(std::memory_order_acquire) != 0; }

void audio_capture_feed(const void *stream, int32_t length) {
  if (capture_flag().load(std::memory_order_acquire))
    bwrite(stream, 1, uint64_t(std::max(length, 0)), app.capture_buffer);
}

int audio_capture_end() {
  sorn_lock_audio();
  capture_flag().store(0, std::memory_order_release);
  pbuffer *b = app.capture_buffer;
  app.capture_buffer = nullptr;
  sorn_unlock_audio();
  const char *path = get_capture_filename("audio", ".raw");
  pfile_entry *f = path ? pfopen(path, "w") : nullptr;
  int ok = f != nullptr;
  if (f) {
    if (b) bwrite(b->data, 1, uint64_t(b->length), f->data);
    ok = pfclose(f) == 0;
  }
  if (ok) {
    char text[1400];
    std::snprintf(text, sizeof text, "captured %3.3f seconds: %s",
                  (b ? b->length : 0) / double(AUDIO_BYTES_PER_SECOND), path);
    notify(text);
  } else if (f) {
    klog("** could not write audio capture %s\n", path);
  }
  destroy_buffer(b);
  return ok ? 0 : 1;
}

void audio_capture_reset() {
  if (audio_capture_running()) audio_capture_end();
  destroy_buffer(app.capture_buffer);
  app.capture_buffer = nullptr;
}
