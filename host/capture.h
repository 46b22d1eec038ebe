// Captures: screenshots (and cartridge labels), GIF recordings and raw audio.
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
#include <cstdint>

// ---- screenshots --------------------------------------------------------------

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
// 2 in the window manager's video mode 3, 3 in mode 4, else 1.
int32_t video_mode_scale();

// ---- GIF recording ---------------------------------------------------------------

// Starts a recording into a host file (mode 0644) behind "/desktop/host"; a
// recording still running is finished first. 0 when it started (the kernel
// then sets app.gif_recording), 1 when there is no free name or the path is
// not on a host folder (a line on standard output says so).
int gif_start();
// Each composed frame's display palette (256 colours, then the 270 line
// banks): after the frames to skip, every second frame becomes a GIF frame.
void update_gif_recording(const uint32_t *display_palette);
// Adds one frame from the window manager's video memory (gathered page by
// page, so mapped or missing pages are read as the process sees them).
// Frames are written to the file as they are taken; pixels unchanged since
// the previous frame become the transparent index 255 unless the frame itself
// uses colour 255. Nothing while no recording runs or there is no process 3.
void gif_frame(const uint32_t *display_palette);
// Finishes the file and reports "captured N frame gif WxH (xS): path". A
// recording with a failed write (or no frames) is removed and reported as
// "**error: could not write gif\n" (no frames: the captured text).
void gif_end();
// With write 0 the same as gif_cancel.
void gif_end_ex(int write);
// Ends the recording, reports its frames, closes and removes the file.
void gif_cancel();

// ---- audio capture -----------------------------------------------------------

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

// ---- names and state -----------------------------------------------------------

// "/desktop/host/<name><ext>", or the first free "/desktop/host/<name>_<n><ext>"
// for n = 1..255; null when all are taken. Valid until the next call.
const char *get_capture_filename(const char *name, const char *ext);
// At every reset: a running GIF recording and audio capture are finished and
// written (nothing is lost by a reboot), a pending screenshot is dropped.
void capture_reset();
