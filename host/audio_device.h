// The audio device that plays the synthesiser's mix (44100 Hz, signed 16-bit
// stereo, 512-frame buffers; SDL converts to whatever the device wants).
//
// The audio lock is the synthesiser's own nesting lock (sorn/audio_lock.h):
// the callback holds it for each mix, and the main thread takes it by the
// same name. One lock for both sides, so no order between two locks can
// deadlock.
#pragma once

#include <cstdint>

#include <SDL.h>

inline constexpr int32_t AUDIO_RATE = 44100;
inline constexpr int32_t AUDIO_FRAMES = 512;
inline constexpr int32_t AUDIO_FRAME_BYTES = 4;  // two 16-bit samples

extern SDL_AudioDeviceID audio_device;  // 0 while no device is open
// SDL raises its audio thread to the highest priority it may set (nice -20
// when running as root). Under group scheduling that thread's weight then
// takes most of the program's processor share away from the frame loop
// whenever the machine is busy: frames and the shutdown passes slow down
// several times. The mix is short, so the device's thread takes the main
// thread's priority (audio_thread_nice, read at open) at its first callback.
// The callback's last buffer was all zero (false at open): while it stays so
// and nothing can sound, the callback writes silence without mixing.
struct host_audio_record {
  int32_t audio_thread_nice = 0;
  bool audio_thread_settled = false;  // the device's thread has taken audio_thread_nice
  bool audio_output_silent = false;
};
// Set afresh by each open_audio_device.
extern host_audio_record host_audio;

// The audio device's callback: mixes length / 4 frames into stream (or
// writes silence, above), then
// appends them to the capture buffer while an audio capture runs. Its first
// call after an open sets the calling thread's priority to audio_thread_nice.
void host_mixer_callback(void *userdata, uint8_t *stream, int length);
// Opens and starts the audio device; false (logged) when it cannot.
bool open_audio_device();
// Stops and closes the audio device (waiting for its thread to end: up to a
// buffer's time).
void close_audio_device();
// At the end of the program: holds the device's lock, so its callback never
// runs again, without waiting for its thread; the process's exit ends it.
void hold_audio_device_for_exit();
