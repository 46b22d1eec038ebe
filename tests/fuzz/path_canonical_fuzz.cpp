// Paths over every byte: a canonical form holds no "." or ".." segment, and
// collapsing or normalising it again changes nothing (origins under their
// mounts are checked by the path tests over the same alphabet).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pdisk/path.h"
#include "tests/pdisk/path_check.h"

static std::string text_of(pbuffer *b) {
  std::string s = b ? std::string((const char *)b->data, (size_t)b->length) : "<null>";
  destroy_buffer(b);
  return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 512) return 0;
  std::string text((const char *)data, size);
  std::string once = text_of(collapse_path(text.c_str(), (int)size, 0));
  if (has_dot_segment(once)) abort();
  if (text_of(collapse_path(once.c_str(), (int)once.size(), 0)) != once) abort();

  std::string canon = text_of(normalise_kavelund_path(text.c_str()));
  if (canon == "<null>") return 0;
  if (has_dot_segment(canon)) abort();
  if (text_of(normalise_kavelund_path(canon.c_str())) != canon) abort();
  return 0;
}
