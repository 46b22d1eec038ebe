// PNG buffers: round trips, results for bad arguments and bytes, and the
// bound on what a claimed image size may make the decoder allocate.
#include "pod/png_buffer.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pod/pod_write.h"
#include "tests/pod/png_test_util.h"

namespace {

TEST(PngBuffer, RoundTripAppendsAtCursorAndDecodesFromTheStart) {
  std::vector<uint8_t> rgba(5 * 3 * 4);
  for (size_t i = 0; i < rgba.size(); i++) rgba[i] = uint8_t(i * 37 + 11);
  pbuffer_owner b(create_buffer_2(16, 'i'));
  bwrite("abc", 1, 3, b.get());
  ASSERT_EQ(LodePNG_encode32_pbuffer(rgba.data(), 5, 3, b.get()), 0u);
  ASSERT_EQ(std::memcmp(b->data, "abc\x89PNG", 7), 0);

  pbuffer_owner png(create_buffer_2(16, 'i'));
  bwrite(b->data + 3, 1, uint64_t(b->length - 3), png.get());
  EXPECT_EQ(png->cursor, png->length);
  decoded d = decode(png.get());
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(png->cursor, 0);
  EXPECT_EQ(d.w, 5u);
  EXPECT_EQ(d.h, 3u);
  EXPECT_EQ(d.pixels, rgba);

  // Other raw forms: RGBA at 16 bits a channel (big-endian, v * 257); a
  // colour type PNG lacks is refused.
  uint8_t *wide = nullptr;
  uint32_t w, h;
  ASSERT_EQ(LodePNG_decode_pbuffer(&wide, &w, &h, png.get(), PNG_RGBA, 16), 0u);
  EXPECT_EQ(wide[0], rgba[0]);
  EXPECT_EQ(wide[1], rgba[0]);
  EXPECT_EQ(wide[7], rgba[3]);
  std::free(wide);
  EXPECT_NE(LodePNG_decode_pbuffer(&wide, &w, &h, png.get(), 5, 8), 0u);
  EXPECT_EQ(wide, nullptr);
}

TEST(PngBuffer, BadArgumentsAndBytesFailWithoutAnImage) {
  uint8_t *image = reinterpret_cast<uint8_t *>(1);
  uint32_t w = 9, h = 9;
  EXPECT_EQ(LodePNG_decode32_pbuffer(&image, &w, &h, nullptr), PNG_ERROR_NO_BUFFER);
  EXPECT_EQ(image, nullptr);
  uint8_t px[4] = {};
  EXPECT_EQ(LodePNG_encode32_pbuffer(px, 1, 1, nullptr), PNG_ERROR_NO_BUFFER);
  pbuffer_owner b(create_buffer_2(16, 'i'));
  EXPECT_EQ(LodePNG_encode32_pbuffer(nullptr, 1, 1, b.get()), PNG_ERROR_NO_BUFFER);
  EXPECT_EQ(LodePNG_encode32_pbuffer(px, 0, 1, b.get()), PNG_ERROR_BAD_SIZE);
  EXPECT_EQ(LodePNG_encode32_pbuffer(px, 1, 0, b.get()), PNG_ERROR_BAD_SIZE);
  EXPECT_EQ(b->length, 0);

  std::string png = png_of(std::vector<uint8_t>(4 * 4 * 4, 200), 4, 4);
  for (size_t cut : {size_t(0), size_t(8), size_t(20), png.size() - 13}) {
    decoded d = decode(png.substr(0, cut));
    EXPECT_NE(d.error, 0u) << cut;
    EXPECT_TRUE(d.pixels.empty() && d.w == 0 && d.h == 0) << cut;
  }
}

TEST(PngBuffer, ClaimedSizeBeyondTheCallersMemoryIsRefusedBeforeInflating) {
  // A 1x1 image whose header (with a correct CRC) claims 40000 x 40000.
  std::string png = png_of(std::vector<uint8_t>(4, 7), 1, 1);
  png = with_size(png, 40000, 40000);
  EXPECT_EQ(decode(png).error, PNG_ERROR_TOO_LARGE);
  // The same claim within bounds decodes to LodePNG's own failure.
  EXPECT_NE(decode(with_size(png, 2, 2)).error, PNG_ERROR_TOO_LARGE);
}

}  // namespace
