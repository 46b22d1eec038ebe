// QOI images to and from pbuffers, over the reference codec. Images are RGBA8
// rows top to bottom (4 bytes a pixel: red, green, blue, alpha).
#pragma once

#include <cstdint>

#include "base/pbuffer.h"

// Encodes a width x height RGBA8 image as QOI with 4 channels and the given
// colour space (0 sRGB, 1 linear) and appends it at buffer's cursor. Returns
// 0, or -1 (nothing written) for a null image or buffer, a zero size, or an
// encoder or buffer failure.
int qoi_encode_pbuffer(const uint8_t *image, uint32_t width, uint32_t height, int colour_space,
                       pbuffer *buffer);

// Decodes the QOI held in buffer (bytes 0 to its length) into a new RGBA8
// image that the caller frees with free(), but only when its header says
// exactly want_width x want_height pixels of 4 channels: any other image,
// and a damaged one, gives null without decoding (so a header cannot ask for
// a large allocation).
uint8_t *qoi_decode_pbuffer_sized(const pbuffer *buffer, uint32_t want_width, uint32_t want_height);
