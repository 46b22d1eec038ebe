// Raw audio capture (see host/capture.h).
#pragma once
#include <cstdint>

// Gives app a fresh capture buffer (room for 10 s), then sets the flag.
void audio_capture_start();
// Under the audio lock clears the flag and takes the buffer, then writes it
// to "/desktop/host/audio.raw" (signed 16-bit stereo at 44100 Hz, no header)
// and reports "captured S.SSS seconds: path". 0 when written, 1 when it could
// not be (no free name, no such folder, a failed host write).
int audio_capture_end();
// Audio thread: appends the bytes the device was given while the capture
// flag is set. The flag is read atomically; its buffer was set before it.
void audio_capture_feed(const void *stream, int32_t length);
// True while an audio capture runs.
int audio_capture_running();
// Finishes a running capture (written) and frees the buffer.
void audio_capture_reset();
