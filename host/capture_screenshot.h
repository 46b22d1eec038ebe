// Screenshots and cartridge labels (see host/capture.h).
#pragma once
#include <cstdint>

// Reads and clamps the screenshot parameters of the current process; the
// kernel then sets app.screenshot_request.
void request_screenshot();
// Each composed frame (480x270 words 0x00RRGGBB, before any enlargement):
// while a screenshot is pending, counts down its frames to skip, then takes it
// and clears the request.
void update_screenshot(const uint32_t *frame);
// Takes the screenshot of the settings read last from frame now: a PNG under
// "/desktop/host", or with the label flag a 480x270 QOI (colour space linear)
// at "/ram/cart/label.qoi".
void capture_screenshot(const uint32_t *frame);
// Drops a pending screenshot's settings.
void screenshot_reset();
