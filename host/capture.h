// Captures: screenshots (and cartridge labels), GIF recordings and raw audio,
// one file each (capture_screenshot, capture_gif, capture_audio) over a
// shared part (capture_settings: names and parameter blocks); this part
// resets them all.
//
// Userland asks through _signal after writing the parameters into its own
// memory (RAM_SCREENSHOT_PARAMS, RAM_GIF_PARAMS, RAM_CAPTURE_NAME). Screenshots,
// GIFs and audio go to "/desktop/host" under a free name ("name.ext", else
// "name_1.ext" .. "name_255.ext"); a label goes to "/ram/cart/label.qoi".
// Every capture tells the window manager what it wrote through a notification
// unless its silent flag is set. A '/' or '\' or control byte in a capture
// name becomes '_', so a name cannot leave "/desktop/host".
//
// Main thread only, except audio_capture_feed (the audio thread).
#pragma once

// At every reset: a running GIF recording and audio capture are finished and
// written (nothing is lost by a reboot), a pending screenshot is dropped.
void capture_reset();
