// Stubs of the captures that are not built yet.
#include "host/capture.h"

int gif_start() { return 1; }
void gif_end() {}
void audio_capture_start() {}
void audio_capture_end() {}
void request_screenshot() {}
