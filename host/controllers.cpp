// Game-controller slots, mapping files and readings.
#include "host/controllers.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/klog.h"
#include "base/paths.h"
#include "host/events.h"
#include "host/host_services.h"

metacon_slot metacon[METACON_SLOTS];
host_controllers_record host_controllers;

static const char mapping_file[] = "sdl_controllers.txt";
static const char mapping_file_header[] = "// add SDL2 game controller mappings to this file\n";

void add_controller_mappings_from(FILE *f) {
  char line[1024];
  while (std::fgets(line, 1023, f)) {
    const char *t = host_trim(line);
    if (!t || !*t || *t == '/') continue;
    int rc = SDL_GameControllerAddMapping(t);
    const char *what = rc == 1   ? " added controller mapping: %s\n"
                       : rc == 0 ? " updated controller mapping: %s\n"
                                 : " failed to add controller mapping: %s\n";
    klog(what, t);
  }
}

void add_sdl_controllers() {
  std::string path(1024 + sizeof mapping_file, '\0');
  for (int appdata = 0; appdata < 2; appdata++) {
    if (appdata)
      paths_prefix_appdata(mapping_file, path.data());
    else
      paths_prefix_program(mapping_file, path.data());
    const char *p = path.c_str();
    if (FILE *f = std::fopen(p, "rb")) {
      klog("Reading controller mappings: %s\n", p);
      add_controller_mappings_from(f);
      std::fclose(f);
    } else if (appdata) {
      if (FILE *out = std::fopen(p, "wb")) {
        std::fputs(mapping_file_header, out);
        std::fclose(out);
      }
    }
  }
}

static void log_counts(SDL_Joystick *j) {
  klog(" Number of Axes: %d\n", SDL_JoystickNumAxes(j));
  klog(" Number of Buttons: %d\n", SDL_JoystickNumButtons(j));
  klog(" Number of Balls: %d\n", SDL_JoystickNumBalls(j));
}

static bool slot_in_use(const metacon_slot &s) { return s.controller || s.joystick; }

bool device_already_open(int32_t i) {
  SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(i);
  if (id < 0) return false;
  for (const metacon_slot &s : metacon)
    if (slot_in_use(s) && s.instance_id == id) return true;
  return false;
}

// Slot i, or the first free slot when i holds another device (whose handles
// must not be dropped); null when every slot is taken.
static metacon_slot *slot_for_device(int32_t i) {
  if (!slot_in_use(metacon[i])) return &metacon[i];
  for (metacon_slot &s : metacon)
    if (!slot_in_use(s)) return &s;
  return nullptr;
}

void connect_joystick(int32_t i) {
  if (i < 0 || i >= METACON_SLOTS || device_already_open(i)) return;
  klog("connecting joystick %d\n", i);
  metacon_slot *slot = slot_for_device(i);
  if (!slot) return;
  metacon_slot &s = *slot;
  s = metacon_slot{};
  if (SDL_IsGameController(i) && (s.controller = SDL_GameControllerOpen(i))) {
    const char *name = SDL_GameControllerName(s.controller);
    klog("Controller %d: %s\n", i, name ? name : "");
    SDL_Joystick *j = SDL_GameControllerGetJoystick(s.controller);
    if (!j) return;
    s.instance_id = SDL_JoystickInstanceID(j);
    log_counts(j);
    char *mapping = SDL_GameControllerMapping(s.controller);
    klog(" Mapping: %s\n", mapping ? mapping : "");
    SDL_free(mapping);
    return;
  }
  s.joystick = SDL_JoystickOpen(i);
  if (!s.joystick) return;
  s.instance_id = SDL_JoystickInstanceID(s.joystick);
  const char *name = SDL_JoystickName(s.joystick);
  klog("Unmapped Joystick %d: %s\n", i, name ? name : "");
  log_counts(s.joystick);
}

void host_joystick_init() {
  if (host_controllers.host_joystick_inited) return;
  host_controllers.host_joystick_inited = 1;
  for (metacon_slot &s : metacon) s = metacon_slot{};
  add_sdl_controllers();
  klog(">searching for joysticks\n");
  int n = SDL_NumJoysticks();
  klog("found %d joysticks\n", n);
  for (int i = 0; i < n; i++) connect_joystick(i);
  klog("<ok\n");
}

static void close_slot(metacon_slot &s) {
  if (s.joystick) SDL_JoystickClose(s.joystick);
  if (s.controller) SDL_GameControllerClose(s.controller);
  s = metacon_slot{};
}

void host_joystick_exit() {
  for (metacon_slot &s : metacon) close_slot(s);
  host_controllers.host_joystick_inited = 0;
}

bool close_controller_by_instance(int32_t instance_id) {
  for (metacon_slot &s : metacon)
    if (slot_in_use(s) && s.instance_id == instance_id) {
      close_slot(s);
      return true;
    }
  return false;
}

void repack_metacon() {
  int32_t to = 0;
  for (int32_t i = 0; i < METACON_SLOTS; i++)
    if (slot_in_use(metacon[i])) metacon[to++] = metacon[i];
  for (; to < METACON_SLOTS; to++) metacon[to] = metacon_slot{};
}

int32_t validate_axis(metacon_slot &s, int32_t axis, int32_t v) {
  if (axis < 0 || axis >= METACON_AXES) return 0;
  if (s.axis_validated[axis]) return v;
  if (std::abs(v) >= AXIS_DEAD_ZONE) {
    host_controllers.validated_error_shown = 1;
    return 0;
  }
  s.axis_validated[axis] = 1;
  return v;
}

bool validate_button(metacon_slot &s, int32_t n, bool pressed, int32_t slot) {
  if (!pressed) {
    s.buttons_validated |= 1u << n;
    return false;
  }
  if (s.buttons_validated & (1u << n)) return true;
  if (!host_controllers.button_validated_error_shown) {
    host_controllers.button_validated_error_shown = 1;
    klog("** button %d not validated on joystick %d\n", n, slot);
  }
  return false;
}

// The slot when it may be read: initialised, and within SDL's device count.
static metacon_slot *readable_slot(int32_t slot) {
  if (slot < 0 || slot >= METACON_SLOTS || !host_controllers.host_joystick_inited) return nullptr;
  if (slot >= SDL_NumJoysticks()) return nullptr;
  return &metacon[slot];
}

static bool controller_attached(const metacon_slot &s) {
  return s.controller && SDL_GameControllerGetAttached(s.controller);
}

// Raw axis reading of a slot; false when the slot has nothing to read.
static bool read_axis(metacon_slot &s, int32_t slot, int32_t axis, int32_t *v) {
  *v = 0;
  if (controller_attached(s)) {
    *v = SDL_GameControllerGetAxis(s.controller, (SDL_GameControllerAxis)axis);
  } else if (s.joystick) {
    *v = SDL_JoystickGetAxis(s.joystick, axis);
  } else if (s.controller) {
    if (!host_controllers.attached_error_shown) {
      host_controllers.attached_error_shown = 1;
      klog("** could not read joystick %d (not attached)\n", slot);
    }
    return false;
  } else {
    return false;
  }
  return true;
}

void host_get_joystick_axes(int32_t slot, int32_t axis_a, int32_t axis_b, int32_t *a, int32_t *b) {
  *a = *b = 0;
  metacon_slot *s = readable_slot(slot);
  if (!s) return;
  int32_t va, vb;
  if (read_axis(*s, slot, axis_a, &va)) *a = validate_axis(*s, axis_a, va);
  if (read_axis(*s, slot, axis_b, &vb)) *b = validate_axis(*s, axis_b, vb);
}

void host_get_joystick(int32_t slot, int32_t *x, int32_t *y, uint32_t *buttons) {
  *x = *y = 0;
  *buttons = 0;
  metacon_slot *s = readable_slot(slot);
  if (!s || !slot_in_use(*s)) return;
  host_get_joystick_axes(slot, 0, 1, x, y);
  bool attached = controller_attached(*s);
  for (int32_t n = 0; n < METACON_BUTTONS; n++) {
    bool down = attached ? SDL_GameControllerGetButton(s->controller, (SDL_GameControllerButton)n)
                : s->joystick ? SDL_JoystickGetButton(s->joystick, n)
                              : false;
    if (validate_button(*s, n, down, slot)) *buttons |= 1u << n;
  }
}
