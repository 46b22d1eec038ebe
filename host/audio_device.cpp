// The audio device and its callback.
#include "host/audio_device.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/klog.h"
#include "base/pbuffer.h"
#include "sorn/audio_lock.h"
#include "sorn/sorn.h"
#include "host/capture_audio.h"

SDL_AudioDeviceID audio_device;
host_audio_record host_audio;

void host_mixer_callback(void *, uint8_t *stream, int length) {
  if (!host_audio.audio_thread_settled) {
    // On Linux this names the calling thread only.
    setpriority(PRIO_PROCESS, 0, host_audio.audio_thread_nice);
    host_audio.audio_thread_settled = true;
  }
  sorn_lock_audio();
  // With the last buffer silent and nothing left that could sound (no
  // instrument on any channel, no track, no music), mixing would only make
  // silence again. A released note still sounds: its envelopes, echoes and
  // tails run whether or not anything is held.
  if (host_audio.audio_output_silent && !sorn_can_sound()) {
    std::memset(stream, 0, (size_t)length);
  } else {
    sorn_mix((int16_t *)stream, length / AUDIO_FRAME_BYTES);
    host_audio.audio_output_silent =
        std::all_of(stream, stream + length, [](uint8_t b) { return b == 0; });
  }
  audio_capture_feed(stream, length);
  sorn_unlock_audio();
}

// The log says why the workstation has no sound: the driver (and device)
// that failed, and SDL's reason.
static void log_no_sound(const std::string &what, const std::string &why) {
  const char *driver = SDL_GetCurrentAudioDriver();
  if (!driver) driver = SDL_getenv("SDL_AUDIODRIVER");
  klog("** no sound: %s (audio driver %s): %s\n", what.c_str(), driver ? driver : "none found",
       why.c_str());
}

bool open_audio_device() {
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    log_no_sound("no audio driver could be started", SDL_GetError());
    std::printf("** audio init failed %s\n", SDL_GetError());
    std::fflush(stdout);
    return false;
  }
  SDL_AudioSpec want = {}, have = {};
  want.freq = AUDIO_RATE;
  want.format = AUDIO_S16LSB;
  want.channels = 2;
  want.samples = AUDIO_FRAMES;
  want.callback = host_mixer_callback;
  host_audio.audio_thread_nice = getpriority(PRIO_PROCESS, 0);
  host_audio.audio_thread_settled = false;
  host_audio.audio_output_silent = false;
  // No change allowed: SDL converts our format to the device's.
  audio_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (audio_device == 0) {
    std::string why = SDL_GetError();
    const char *name = SDL_GetNumAudioDevices(0) > 0 ? SDL_GetAudioDeviceName(0, 0) : nullptr;
    log_no_sound(
        std::string("the audio device ") + (name ? name : "(the default)") + " could not be opened",
        why);
    std::printf("** audio init failed %s\n", why.c_str());
    std::fflush(stdout);
    return false;
  }
  SDL_PauseAudioDevice(audio_device, 0);
  return true;
}

void hold_audio_device_for_exit() {
  if (audio_device) SDL_LockAudioDevice(audio_device);
}

void close_audio_device() {
  if (audio_device) SDL_CloseAudioDevice(audio_device);
  audio_device = 0;
}
