// Paths over every byte: a canonical form holds no "." or ".." segment,
// collapsing or normalising it again changes nothing, and the origin of a
// path lies under the host folder of its mount.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "tests/pdisk/path_check.h"

static const char host_root[] = "/nonexistent-fuzz-root";

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!freopen("/dev/null", "w", stdout)) abort();
  pfile_init();
  mount_host_path("/", host_root);
  return 0;
}

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
  uint32_t kind = 0;
  std::string origin = text_of(resolve_to_origin(text.c_str(), &kind, 0));
  std::string root = host_root;
  if (origin != root && origin.compare(0, root.size() + 1, root + "/") != 0) abort();
  if (has_dot_segment(origin)) abort();
  return 0;
}
