// Game controllers: every controller and joystick SDL reports, kept in 32
// slots (slot number = player number), read as stick positions and a button
// mask. Axes and buttons count only once they have been seen at rest, so a
// device that reports a held button or an off-centre axis when plugged in
// presses nothing. Main thread only.
//
// Mappings: SDL's own database, then the lines of "sdl_controllers.txt" in
// the program's folder and in the application-data folder (the latter created
// with a comment line when missing). Lines empty after trimming or beginning
// with '/' are skipped.
#pragma once

#include <cstdint>

#include <SDL.h>

inline constexpr int32_t METACON_SLOTS = 32;
inline constexpr int32_t METACON_AXES = 32;
inline constexpr int32_t METACON_BUTTONS = 21;

struct metacon_slot {
  SDL_GameController *controller;  // set when SDL knows a mapping for the device
  SDL_Joystick *joystick;          // set only for devices opened as raw joysticks
  int32_t instance_id;
  int32_t axis_validated[METACON_AXES];  // 1 once seen with a magnitude below 8192
  uint32_t buttons_validated;            // bit n: button n seen released
};

extern metacon_slot metacon[METACON_SLOTS];
struct host_controllers_record {
  int32_t host_joystick_inited = 0;
  // Each complaint about a device is logged once a run.
  int32_t attached_error_shown = 0, validated_error_shown = 0, button_validated_error_shown = 0;
};
extern host_controllers_record host_controllers;

// Once per run: mappings, then every device SDL reports.
void host_joystick_init();
void host_joystick_exit();
// Reads the two mapping files into SDL (logging each line's outcome).
void add_sdl_controllers();
// Adds the mapping lines of one open file to SDL.
void add_controller_mappings_from(FILE *f);
// Whether device index i is open in a slot already (SDL reports every device
// present at start as added too, after the start has opened it).
bool device_already_open(int32_t i);
// Opens device index i (below 32) into slot i, or into the first free slot
// when slot i holds another device; a device already open is left as it is.
void connect_joystick(int32_t i);
// Closes the handles of the slot with that instance id and clears it; false
// when no slot holds it.
bool close_controller_by_instance(int32_t instance_id);
// Moves the slots in use down to the lowest numbers, in order.
void repack_metacon();
// Two axis values (-32768..32767) of a slot; 0 when not available or not yet
// seen near rest.
void host_get_joystick_axes(int32_t slot, int32_t axis_a, int32_t axis_b, int32_t *a, int32_t *b);
// The first two axes and the button mask (bit n = SDL game-controller button
// n, or raw button n of an unmapped joystick).
void host_get_joystick(int32_t slot, int32_t *x, int32_t *y, uint32_t *buttons);
// Validation of one reading: an axis not yet validated reads 0 at magnitude
// 8192 or more, and is validated by a smaller one.
int32_t validate_axis(metacon_slot &s, int32_t axis, int32_t value);
// A button's reading: released validates it; pressed counts once validated.
bool validate_button(metacon_slot &s, int32_t button, bool pressed, int32_t slot);
