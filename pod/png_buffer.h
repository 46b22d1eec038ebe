// PNG images to and from pbuffers, over LodePNG. Images are rows of pixels
// top to bottom; RGBA8 is 4 bytes a pixel in the order red, green, blue,
// alpha.
//
// Decoding is bounded by what the current process may still hold
// (memory_room_left): a PNG whose decoded image, or whose inflated scanlines,
// would take more is refused with PNG_ERROR_TOO_LARGE before it is inflated.
// Text chunks are skipped.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"

// Colour types of PNG (and of LodePNG's raw images).
enum : int {
  PNG_GREY = 0,
  PNG_RGB = 2,
  PNG_PALETTE = 3,
  PNG_GREY_ALPHA = 4,
  PNG_RGBA = 6,
};

// The result for a null buffer or image.
constexpr unsigned PNG_ERROR_NO_BUFFER = 100;
// The result when the image would not fit the caller's memory (LodePNG's own
// code for a failed allocation).
constexpr unsigned PNG_ERROR_TOO_LARGE = 83;

// The result for a width or height of 0 or above INT32_MAX, which PNG cannot
// carry (LodePNG's decoder code for it).
constexpr unsigned PNG_ERROR_BAD_SIZE = 93;

// Decodes the PNG held in buffer (bytes 0 to its length; its cursor is set
// to 0) into a new image of the given colour type and bit depth, which the
// caller frees with free(). Returns 0 on success, else LodePNG's error code
// (with *image_out null and the sizes 0), PNG_ERROR_NO_BUFFER for a null
// buffer or output, PNG_ERROR_TOO_LARGE as above.
unsigned LodePNG_decode_pbuffer(uint8_t **image_out, uint32_t *width_out, uint32_t *height_out,
                                pbuffer *buffer, int colour_type, int bit_depth);
// The same to RGBA8.
unsigned LodePNG_decode32_pbuffer(uint8_t **image_out, uint32_t *width_out, uint32_t *height_out,
                                  pbuffer *buffer);

// Encodes a width x height image of the given colour type and bit depth and
// appends the PNG at buffer's cursor (bwrite). Returns 0, LodePNG's error
// code (nothing written), PNG_ERROR_NO_BUFFER for a null image or buffer,
// PNG_ERROR_BAD_SIZE, or PNG_ERROR_TOO_LARGE when the buffer cannot take the
// PNG.
unsigned LodePNG_encode_pbuffer(const uint8_t *image, uint32_t width, uint32_t height,
                                pbuffer *buffer, int colour_type, int bit_depth);
// The same from RGBA8.
unsigned LodePNG_encode32_pbuffer(const uint8_t *image, uint32_t width, uint32_t height,
                                  pbuffer *buffer);
