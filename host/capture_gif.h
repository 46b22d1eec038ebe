// GIF recordings (see host/capture.h).
#pragma once
#include <cstdint>

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
// Finishes a running recording (written) and forgets its settings.
void gif_reset();
