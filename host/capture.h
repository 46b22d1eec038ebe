// Captures as the kernel calls them: GIF recording, audio capture and
// screenshots. Still stubs (host/capture_stubs.cpp) where captures are not
// built.
#pragma once
// 0 when a recording started.
int gif_start();
void gif_end();
void audio_capture_start();
void audio_capture_end();
void request_screenshot();
