// A Lua state with the pod and userdata globals for the pod tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lang/lua_api.h"

struct PodLua : ::testing::Test {
  lua_State *L = nullptr;
  void SetUp() override;
  void TearDown() override;
  // pod(value-expression, flags) as a byte string.
  std::string pod(const std::string &expr, int flags = 0);
  // Runs a chunk and gives its first result as a string (tostring), "" on no result.
  std::string run(const std::string &chunk);
  // Reads text with destringify_object; the number of values pushed (left on
  // an otherwise empty stack).
  int read(const std::string &text);
};
