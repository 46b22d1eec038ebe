// The workstation state record `app` that every reset clears, and the flag
// of start-up that the frame loop and the reset read.
#pragma once
#include <cstdint>

struct pbuffer;

struct app_state {
  uint32_t window_focus;  // survives a reboot once the host layer is up
  uint64_t focus_time;
  uint32_t userland_flag_35;  // read by the boot screen's line drawing
  uint32_t userland_flag_36;  // reported by stat
  int64_t audio_owner;        // -2: none
  int64_t mirrored_owner;     // -3: matches no process
  // Read by the audio thread: the flag only through std::atomic_ref, and set
  // after the buffer (host/capture_audio.h owns both).
  alignas(4) uint32_t audio_capture_on;
  pbuffer *capture_buffer;
  uint32_t gif_recording;
  uint32_t gif_frame_count;
  uint32_t screenshot_request;
  uint32_t boot_finished;
  uint32_t userland_booted;
  uint32_t exported_cartridge;
  int32_t mouse_locked;      // non-zero while the window manager locks the mouse
  int32_t skip_next_motion;  // the first motion after locking only resets the steps
  int32_t locked_dx;         // locked-move accumulators, 1/64 picture pixels
  int32_t locked_dy;
  int64_t exclusive_process;  // id of the process holding the system; 0: none
  uint64_t last_activity;
  uint32_t battery_saver_active;
  uint64_t frame_count;
  uint64_t boot_start_frame;
  uint32_t reboot_request;
  uint32_t exit_request;
  uint32_t exit_hold_count;
};

extern app_state app;
extern uint8_t system_inited;  // the host layer is up (set once by the frame loop)

// Clears `app` as every reset does: the window focus survives once the host
// layer is up; no process owns the audio or is mirrored.
void app_reset();

inline constexpr const char *kvd_version_text = "0.2.1e";
inline constexpr const char *kvd_build_text = "251114-054042";
