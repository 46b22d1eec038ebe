// Stub of fetched-buffer decoding, which is not built yet: pod texts are
// read as pod texts, anything else is pushed as its bytes.
#include "pod/fetched_buffer.h"

#include <cstring>

#include "pod/pod_read.h"

int unpod_from_fetched_buffer(lua_State *L, pbuffer *buffer, const char *name, int) {
  if (!buffer || !name) return 0;
  const char *text = (const char *)buffer->data;
  if (buffer->length >= 7 && memcmp(text, "--[[pod", 7) == 0)
    return destringify_object(L, text, buffer->length);
  lua_pushlstring(L, text, buffer->length);
  return 1;
}
