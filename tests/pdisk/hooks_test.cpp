// The upward hooks of a program on the whole stack: installed when it is
// loaded, put back by every reset, and a change to a host file made without
// the history hook is reported in the log, not lost silently.
#include "base/hooks.h"

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/config.h"
#include "base/debug_log.h"
#include "gfx/hooks.h"
#include "sorn/hooks.h"
#include "pdisk/hooks.h"
#include "pdisk_fixture.h"

namespace {

bool every_hook_installed() {
  return base_hook.current_process_id && gfx_hook.capture_gif_frame &&
         gfx_hook.capture_screenshot_frame && pdisk_hook.history_event &&
         sorn_hook.end_audio_capture;
}

// First in the file: nothing has reset the subsystems yet.
TEST(Hooks, InstalledBeforeMainAndPutBackByAReset) {
  EXPECT_TRUE(every_hook_installed());
  base_hook = {};
  gfx_hook = {};
  pdisk_hook = {};
  sorn_hook = {};
  reset_subsystems();
  EXPECT_TRUE(every_hook_installed());
}

using HooksFiles = PdiskTest;

TEST_F(HooksFiles, AChangeWithoutTheHistoryHookIsLogged) {
  write_host("home/keep", "");  // the folder the log opens in
  std::string home = host_path("home");
  snprintf(config.home, sizeof config.home, "%s", home.c_str());
  debug_log_open_allowed();
  pdisk_hook.history_event = nullptr;
  ASSERT_TRUE(put("/unrecorded.txt", "text"));
  std::ifstream f(home + "/log.txt");
  std::stringstream log;
  log << f.rdbuf();
  EXPECT_NE(log.str().find("history not recorded (no history hook installed): change 0 of "
                           "/unrecorded.txt"),
            std::string::npos)
      << log.str();
}

}  // namespace
