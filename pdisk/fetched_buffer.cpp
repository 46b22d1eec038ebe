// Fetched bytes to Lua values.
#include "pdisk/fetched_buffer.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/cpu_budget.h"
#include "userdata/udata.h"
#include "gfx/pixel.h"
#include "pod/host_text.h"
#include "pod/png_buffer.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "pdisk/path.h"

namespace {

struct image_owner {
  uint8_t *pixels = nullptr;
  ~image_owner() { std::free(pixels); }
};

bool begins(const pbuffer *b, const char *lit) {
  size_t n = std::strlen(lit);
  return uint64_t(b->length) >= n && std::memcmp(b->data, lit, n) == 0;
}

// Pushes the image in b as a 2-D userdata; false (nothing pushed) when b
// holds no PNG that decodes into a userdata.
bool push_png(lua_State *L, pbuffer *b, int flags) {
  if (b->length < 5 || std::memcmp(b->data + 1, "PNG", 3) != 0) return false;
  image_owner image;
  uint32_t w, h;
  if (LodePNG_decode32_pbuffer(&image.pixels, &w, &h, b) != 0) return false;
  if (w > INT32_MAX || h > INT32_MAX) return false;
  bool as_i32 = flags & FETCHED_PNG_AS_I32;
  udata *ud = create_userdata(L, as_i32 ? "i32" : "u8", 2, int32_t(w), int32_t(h), nullptr);
  if (!ud) return false;
  uint64_t n = uint64_t(w) * h;
  spend_cpu(int64_t(n / 2));
  uint8_t *out = udata_elements(ud);
  if (!as_i32) {
    convert_bitmap_32_to_8(image.pixels, out, int64_t(n));
    return true;
  }
  // 0xAARRGGBB, least significant byte first: blue, green, red, alpha.
  for (uint64_t k = 0; k < n; k++) {
    const uint8_t *px = image.pixels + 4 * k;
    uint8_t *o = out + 4 * k;
    o[0] = px[2];
    o[1] = px[1];
    o[2] = px[0];
    o[3] = px[3];
  }
  return true;
}

}  // namespace

int unpod_from_fetched_buffer(lua_State *L, pbuffer *buffer, const char *name, int flags) {
  if (!buffer || !name) return 0;
  std::string ext = get_ext(name);
  pbuffer_owner converted;
  pbuffer *b = buffer;
  if (ext == "txt" || ext == "lua" || ext == "pn") {
    converted.reset(decode_host_text(buffer));
    if (!converted) return 0;
    b = converted.get();
  }
  if ((ext == "png" || ext == "q7.png") && push_png(L, b, flags)) return 1;
  if (ext == "pod" || begins(b, "-- kavelund object data") || begins(b, "--[[pod"))
    return destringify_object(L, reinterpret_cast<const char *>(b->data), b->length);
  lua_pushlstring(L, reinterpret_cast<const char *>(b->data), size_t(b->length));
  return 1;
}
