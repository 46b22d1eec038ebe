// A Lua state with the pod and userdata globals for the pod tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

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

// True in builds under the address sanitizer, where the heaviest cases run
// on fewer forms (each case there takes several times as long).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool pod_test_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool pod_test_sanitized = true;
#else
inline constexpr bool pod_test_sanitized = false;
#endif
#else
inline constexpr bool pod_test_sanitized = false;
#endif
