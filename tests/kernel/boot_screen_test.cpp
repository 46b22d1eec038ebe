// The boot screen at the times it changes, compared by the colours each
// region of the screen holds.
#include "gfx/boot_screen.h"

#include <set>

#include "machine/memory.h"
#include "userdata/udata.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

struct boot_screen_test : kernel_fixture {
  // The boot frame at t milliseconds of boot clock.
  void draw_at(int ms) {
    app.boot_start_frame = 1;
    app.frame_count = 1 + uint64_t(ms / 16.6 + 1);
    ASSERT_EQ(draw_boot(), boot_proc);
  }
  // Colours in the rectangle x0..x1 x y0..y1 (inclusive) of the boot screen.
  static std::set<int> colours(int x0, int y0, int x1, int y1) {
    std::set<int> s;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) s.insert(udata_elements(boot_back)[y * 480 + x]);
    return s;
  }
  static std::set<int> frame() { return colours(0, 0, 479, 8); }      // the traced rectangles
  static std::set<int> text() { return colours(30, 195, 300, 240); }  // the text lines
  static std::set<int> bottom() { return colours(0, 260, 479, 269); }
  static std::set<int> middle() { return colours(10, 10, 469, 190); }
};

bool only(const std::set<int> &s, int lo, int hi) {
  for (int c : s)
    if (c != 0 && (c < lo || c > hi)) return false;
  return s.size() > 1;
}

TEST_F(boot_screen_test, regions_at_the_times_the_screen_changes) {
  const std::set<int> black = {0};
  draw_at(0);
  EXPECT_EQ(colours(0, 0, 479, 269), black);
  draw_at(480);
  EXPECT_EQ(colours(0, 0, 479, 269), black);  // lines start after 500 ms
  draw_at(620);
  EXPECT_TRUE(only(frame(), 8, 19));
  EXPECT_EQ(text(), black);
  EXPECT_EQ(middle(), black);
  draw_at(900);  // the version line
  EXPECT_EQ(text(), (std::set<int>{0, 7}));
  draw_at(1060);  // and the second line
  EXPECT_EQ(text(), (std::set<int>{0, 6, 7}));
  draw_at(1160);  // and the status line
  EXPECT_EQ(text(), (std::set<int>{0, 6, 7, 14}));
  EXPECT_EQ(frame(), black);  // the tails have left the top edges
  EXPECT_TRUE(only(bottom(), 8, 19));
  draw_at(1300);  // the paths are gone; the text stays
  EXPECT_EQ(bottom(), black);
  EXPECT_EQ(text(), (std::set<int>{0, 6, 7, 14}));
}

TEST_F(boot_screen_test, userland_flag_35_changes_the_path_colours) {
  app.userland_flag_35 = 1;
  draw_at(700);
  EXPECT_TRUE(only(frame(), 28, 30));
}

TEST_F(boot_screen_test, a_system_error_byte_fills_the_screen_whatever_the_clock) {
  poke_proc(root, 0, 3);
  for (int ms : {0, 700, 2000}) {
    draw_at(ms);
    EXPECT_EQ(colours(0, 0, 479, 269), (std::set<int>{1, 14})) << ms;
    EXPECT_EQ(colours(0, 0, 479, 190), (std::set<int>{1})) << ms;
  }
}

TEST_F(boot_screen_test, the_boot_record_shows_its_pixels_as_video_memory) {
  draw_at(1300);
  EXPECT_EQ(peek_proc(boot_proc, int32_t(RAM_FONT_DEFAULT)), 0x40);
  for (int i = 0; i < 480 * 270; i += 997)
    ASSERT_EQ(peek_proc(boot_proc, int32_t(RAM_VIDEO) + i), udata_elements(boot_back)[i]) << i;
  EXPECT_EQ(peek4_proc(boot_proc, int32_t(RAM_RGB_PALETTE) + 4 * 16), 0x134284);
  EXPECT_EQ(cproc, root);  // the current process is put back
}

}  // namespace
