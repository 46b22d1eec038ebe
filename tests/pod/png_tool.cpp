// Command-line driver of the PNG buffers for the Python reference check:
//   png_tool decode IN OUT        OUT: u32 width, u32 height, RGBA8 pixels
//   png_tool encode W H RAW OUT   RAW: W x H RGBA8 pixels; OUT: the PNG
// Exit status 3 with LodePNG's code on standard error when a call fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/pbuffer.h"
#include "pod/png_buffer.h"
#include "pod/pod_write.h"

namespace {

int save(const char *path, const void *data, size_t n) {
  FILE *f = std::fopen(path, "wb");
  if (!f) return 2;
  std::fwrite(data, 1, n, f);
  std::fclose(f);
  return 0;
}

int failed(unsigned error) {
  std::fprintf(stderr, "error %u\n", error);
  return 3;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "decode") == 0) {
    pbuffer_owner in(create_buffer_from_file(argv[2]));
    uint8_t *image = nullptr;
    uint32_t w, h;
    if (unsigned e = LodePNG_decode32_pbuffer(&image, &w, &h, in.get())) return failed(e);
    pbuffer_owner out(create_buffer_2(16, 'i'));
    bwrite_uint32(w, out.get());
    bwrite_uint32(h, out.get());
    bwrite(image, 4, uint64_t(w) * h, out.get());
    std::free(image);
    return save(argv[3], out->data, size_t(out->length));
  }
  if (argc == 6 && std::strcmp(argv[1], "encode") == 0) {
    pbuffer_owner raw(create_buffer_from_file(argv[4]));
    uint32_t w = uint32_t(std::atoi(argv[2])), h = uint32_t(std::atoi(argv[3]));
    if (!raw || uint64_t(raw->length) != uint64_t(w) * h * 4) return 2;
    pbuffer_owner out(create_buffer_2(16, 'i'));
    if (unsigned e = LodePNG_encode32_pbuffer(raw->data, w, h, out.get())) return failed(e);
    return save(argv[5], out->data, size_t(out->length));
  }
  std::fprintf(stderr, "usage: png_tool decode IN OUT | encode W H RAW OUT\n");
  return 1;
}
