// The workstation state record and its reset.
#include "machine/app.h"

#include <cstring>

app_state app;
proc *root_process;
uint8_t system_inited;

void app_reset() {
  uint32_t focus = app.window_focus;
  std::memset(&app, 0, sizeof app);
  if (system_inited) app.window_focus = focus;
  app.audio_owner = -2;
  app.mirrored_owner = -3;
}
