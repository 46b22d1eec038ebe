// The tests' shared starting point: every subsystem's state emptied by the
// same reset that start-up and each reboot use (reset_subsystems), so tests
// never rebuild that state by hand. Fixtures of a subsystem derive from it.
#pragma once

#include <stdlib.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "base/config.h"
#include "kernel/startup.h"

// A test program never writes into the real home folder: before any test it
// points HOME at a temporary folder of its own, removed when it exits.
inline char workstation_test_home[64];
inline const bool workstation_test_home_made = [] {
  std::strcpy(workstation_test_home, "/tmp/kvd_home_XXXXXX");
  if (!mkdtemp(workstation_test_home)) return false;
  setenv("HOME", workstation_test_home, 1);
  unsetenv("XDG_DATA_HOME");
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(workstation_test_home, ec);
  });
  return true;
}();

struct workstation_fixture : ::testing::Test {
  void SetUp() override { reset_workstation(); }
  void TearDown() override { reset_subsystems(); }

  // As start-up leaves it before mounting anything, without a window.
  static void reset_workstation() {
    config.headless = 1;
    reset_subsystems();
  }
};
