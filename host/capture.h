// Captures as the kernel calls them: GIF recording, audio capture and
// screenshots. Still stubs (host/capture_stubs.cpp) where captures are not
// built.
#pragma once
#include <cstdint>

// 0 when a recording started.
int gif_start();
void gif_end();
void audio_capture_start();
void audio_capture_end();
void request_screenshot();
// The composer hands each output frame to the GIF recorder (the 256 output
// colours and the 270 line banks) and to the screenshot hook (480x270 words).
void update_gif_recording(const uint32_t *display_palette);
void update_screenshot(const uint32_t *frame);
