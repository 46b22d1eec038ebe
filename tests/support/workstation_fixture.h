// The tests' shared starting point: every subsystem's state emptied by the
// same reset that start-up and each reboot use (reset_subsystems), so tests
// never rebuild that state by hand. Fixtures of a subsystem derive from it.
#pragma once

#include <gtest/gtest.h>

#include "base/config.h"
#include "kernel/startup.h"

struct workstation_fixture : ::testing::Test {
  void SetUp() override { reset_workstation(); }
  void TearDown() override { reset_subsystems(); }

  // As start-up leaves it before mounting anything, without a window.
  static void reset_workstation() {
    config.headless = 1;
    reset_subsystems();
  }
};
