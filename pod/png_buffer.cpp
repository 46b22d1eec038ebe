// PNG buffers over LodePNG, with the decoder bounded by the caller's memory.
#include "pod/png_buffer.h"

#include <cstdlib>

#include <lodepng.h>

#include "machine/memory_room.h"

namespace {

// Bits a pixel of a colour type and depth takes; 0 for a pair PNG lacks.
uint64_t bits_per_pixel(int colour_type, uint64_t depth) {
  switch (colour_type) {
    case PNG_GREY:
    case PNG_PALETTE:
      return depth;
    case PNG_RGB:
      return 3 * depth;
    case PNG_GREY_ALPHA:
      return 2 * depth;
    case PNG_RGBA:
      return 4 * depth;
  }
  return 0;
}

// Bytes of h rows of w pixels, each row byte-aligned, plus one filter byte a
// row when `filtered`.
uint64_t image_bytes(uint64_t w, uint64_t h, uint64_t bpp, bool filtered) {
  return h * ((w * bpp + 7) / 8 + (filtered ? 1 : 0));
}

}  // namespace

unsigned LodePNG_decode_pbuffer(uint8_t **image_out, uint32_t *width_out, uint32_t *height_out,
                                pbuffer *buffer, int colour_type, int bit_depth) {
  if (!image_out || !width_out || !height_out) return PNG_ERROR_NO_BUFFER;
  *image_out = nullptr;
  *width_out = *height_out = 0;
  if (!buffer) return PNG_ERROR_NO_BUFFER;
  buffer->cursor = 0;
  uint64_t out_bpp = bits_per_pixel(colour_type, uint64_t(bit_depth));
  if (out_bpp == 0) return 31;  // LodePNG's code for an illegal colour type

  LodePNGState state;
  lodepng_state_init(&state);
  state.info_raw.colortype = LodePNGColorType(colour_type);
  state.info_raw.bitdepth = unsigned(bit_depth);
  state.decoder.read_text_chunks = 0;
  state.decoder.remember_unknown_chunks = 0;
  unsigned w = 0, h = 0;
  unsigned error = lodepng_inspect(&w, &h, &state, buffer->data, size_t(buffer->length));
  if (!error) {
    // The inflated scanlines (an interlaced image has up to 2h + 7 rows
    // in its seven passes, each rounded up and filtered, and is de-interlaced
    // into a second copy) and the converted image must all fit.
    const LodePNGColorMode &png = state.info_png.color;
    bool interlaced = state.info_png.interlace_method != 0;
    uint64_t scanlines = image_bytes(w, h, bits_per_pixel(png.colortype, png.bitdepth), true);
    if (interlaced) scanlines += 4 * uint64_t(h) + 16;
    uint64_t held = scanlines * (interlaced ? 2 : 1) + image_bytes(w, h, out_bpp, false);
    if (held > uint64_t(memory_room_left())) error = PNG_ERROR_TOO_LARGE;
    state.decoder.zlibsettings.max_output_size = size_t(scanlines);
  }
  unsigned char *image = nullptr;
  if (!error) error = lodepng_decode(&image, &w, &h, &state, buffer->data, size_t(buffer->length));
  lodepng_state_cleanup(&state);
  if (error) {
    std::free(image);
    return error;
  }
  *image_out = image;
  *width_out = w;
  *height_out = h;
  return 0;
}

unsigned LodePNG_decode32_pbuffer(uint8_t **image_out, uint32_t *width_out, uint32_t *height_out,
                                  pbuffer *buffer) {
  return LodePNG_decode_pbuffer(image_out, width_out, height_out, buffer, PNG_RGBA, 8);
}

unsigned LodePNG_encode_pbuffer(const uint8_t *image, uint32_t width, uint32_t height,
                                pbuffer *buffer, int colour_type, int bit_depth) {
  if (!image || !buffer) return PNG_ERROR_NO_BUFFER;
  // LodePNG writes such an image, but no reader (LodePNG included) takes it.
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX)
    return PNG_ERROR_BAD_SIZE;
  unsigned char *png = nullptr;
  size_t n = 0;
  unsigned error = lodepng_encode_memory(&png, &n, image, width, height,
                                         LodePNGColorType(colour_type), unsigned(bit_depth));
  if (!error && bwrite(png, 1, n, buffer) != int64_t(n)) error = PNG_ERROR_TOO_LARGE;
  std::free(png);
  return error;
}

unsigned LodePNG_encode32_pbuffer(const uint8_t *image, uint32_t width, uint32_t height,
                                  pbuffer *buffer) {
  return LodePNG_encode_pbuffer(image, width, height, buffer, PNG_RGBA, 8);
}
