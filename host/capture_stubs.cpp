// Stubs of the captures that are not built yet.
#include "host/capture.h"

int gif_start() { return 1; }
void gif_end() {}
void audio_capture_start() {}
void audio_capture_end() {}
void request_screenshot() {}
void update_gif_recording(const uint32_t *) {}
void update_screenshot(const uint32_t *) {}
