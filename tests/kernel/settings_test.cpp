// Settings, the command line, and a reboot requested with an exit.
#include "kernel/settings.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/config.h"
#include "machine/app.h"
#include "machine/process.h"
#include "kernel/frame.h"
#include "kernel/startup.h"

namespace {

TEST(Settings, SwitchesClampsAndUnknownNames) {
  config_set_defaults();
  // Switching the file history on opens the day's log under the
  // application-data folder: a temporary one here.
  namespace fs = std::filesystem;
  std::string home = testing::TempDir() + "/kvd_settings_home_" + std::to_string(getpid());
  fs::remove_all(home);
  std::snprintf(config.home, sizeof config.home, "%s", home.c_str());
  struct row {
    const char *name;
    int64_t value;
    int32_t config_state::*field;
    int32_t stored;
  } rows[] = {
      {"volume", 300, &config_state::volume, 256},
      {"volume", -5, &config_state::volume, 0},
      {"volume", 0x100000005, &config_state::volume, 256},
      {"deadzone", 1000, &config_state::deadzone, 256},
      {"fullscreen", 7, &config_state::fullscreen, 1},
      {"fullscreen", 0, &config_state::fullscreen, 0},
      {"network_access", -1, &config_state::network_access, 1},
      {"pixel_scale", -3, &config_state::pixel_scale, -3},
      {"anywhen", 2, &config_state::anywhen, 1},
  };
  for (const row &r : rows) {
    kavelund_apply_setting(r.name, r.value);
    EXPECT_EQ(config.*r.field, r.stored) << r.name << " " << r.value;
  }
  int day_logs = 0;
  if (fs::exists(home + "/anywhen"))
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(home + "/anywhen"))
      day_logs += e.path().extension() == ".log";
  EXPECT_EQ(day_logs, 1);
  config_state before = config;
  kavelund_apply_setting("no_such_setting", 1);
  kavelund_apply_setting(nullptr, 1);
  EXPECT_EQ(std::memcmp(&before, &config, sizeof config), 0);
  config_set_defaults();
  fs::remove_all(home);
}

TEST(Settings, OnlyTheSixDisplaySettingsMakeTheSignature) {
  config_set_defaults();
  kavelund_apply_settings();
  uint32_t first = video_hash0;
  EXPECT_EQ(first, display_signature());
  EXPECT_EQ(first, 3u);  // fullscreen and pixel_perfect
  kavelund_apply_setting("pixel_scale", 4);
  kavelund_apply_setting("sdl_render_driver", 2);
  kavelund_apply_setting("volume", 10);
  EXPECT_EQ(display_signature(), first);
  kavelund_apply_setting("blit_720p", 1);
  EXPECT_EQ(display_signature(), first | 32u);
}

std::vector<char *> argv_of(std::vector<std::string> &args) {
  std::vector<char *> v;
  for (std::string &a : args) v.push_back(a.data());
  return v;
}

TEST(CommandLine, OptionsByPrefix) {
  std::string home = testing::TempDir() + "/kvd_args_home_" + std::to_string(getpid());
  struct row {
    std::vector<std::string> args;
    int32_t headless, display;
    std::string home, bare;
  } rows[] = {
      {{"k", "-homedir", home}, 0, -1, home, ""},
      {{"k", "-xyz"}, 1, -1, "", ""},
      {{"k", "-display", "2"}, 0, 2, "", ""},
      {{"k", "-display", "two"}, 0, -1, "", ""},
      {{"k", "-foo", "dropped", "kept"}, 0, -1, "", "kept"},
      {{"k", "first", "last"}, 0, -1, "", "last"},
      {{"k", "-x", ">", "-home", home, "bare"}, 1, -1, "", ""},
      {{"k", "|", "-x"}, 0, -1, "", ""},
      {{"k", "-use_system_rom", "bare"}, 0, -1, "", "bare"},
      {{"k", "-home"}, 0, -1, "", ""},
  };
  for (row &r : rows) {
    config_set_defaults();
    std::vector<char *> argv = argv_of(r.args);
    process_arguments((int)argv.size(), argv.data());
    std::string label = r.args.size() > 1 ? r.args[1] : "";
    EXPECT_EQ(config.headless, r.headless) << label;
    EXPECT_EQ(config.display, r.display) << label;
    EXPECT_EQ(std::string(config.home), r.home) << label;
    EXPECT_EQ(std::string(config.startup_arg), r.bare) << label;
  }
}

TEST(Reboot, RunsBeforeAnExitAskedInTheSameFrameAndKeepsConfigAndFocus) {
  const char *bin = std::getenv("KVD_BINARY_DIR");
  ASSERT_NE(bin, nullptr);
  config_set_defaults();
  std::string home = testing::TempDir() + "/kvd_reboot_home_" + std::to_string(getpid());
  std::snprintf(config.home, sizeof config.home, "%s", home.c_str());
  config.headless = 1;
  config.volume = 17;
  load_dat_files((std::string(bin) + "/tests/e2e/roms/hello.dat").c_str());
  ASSERT_GE(dat_files, 2);
  system_inited = 1;
  app.window_focus = 1;
  reset_app_state();
  testing::internal::CaptureStdout();
  system_frame();
  app.reboot_request = 1;
  app.exit_request = 1;
  system_frame();  // reboots, clearing the exit request, then runs the new boot's first slice
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "hello from boot\nframe 1\nhello from boot\nframe 1\n");
  EXPECT_EQ(app.exit_request, 0u);
  EXPECT_EQ(app.reboot_request, 0u);
  EXPECT_EQ(app.window_focus, 1u);
  EXPECT_EQ(app.frame_count, 1u);
  EXPECT_EQ(config.volume, 17);
  EXPECT_EQ(get_process_count(), 1);
  EXPECT_EQ(procs.root->id, 1);
}

}  // namespace
