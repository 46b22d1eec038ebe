// The workstation state record and its reset.
#include "machine/app.h"

#include <cstring>

#include "base/ram_layout.h"

app_state app;
uint8_t system_inited;

void app_reset() {
  uint32_t focus = app.window_focus;
  std::memset(&app, 0, sizeof app);
  if (system_inited) app.window_focus = focus;
  app.audio_owner = AUDIO_NO_OWNER;
  app.mirrored_owner = AUDIO_NOTHING_MIRRORED;
}
