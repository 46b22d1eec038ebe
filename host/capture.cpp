// The reset of every capture kind.
#include "host/capture.h"

#include "host/capture_audio.h"
#include "host/capture_gif.h"
#include "host/capture_screenshot.h"

void capture_reset() {
  gif_reset();
  audio_capture_reset();
  screenshot_reset();
}
