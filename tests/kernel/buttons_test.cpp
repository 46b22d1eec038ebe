// Buttons: the rules applied to each sample (opposites, diagonals, held-over
// buttons) and btn / btnp, with btnp's repeat timing as tables of cases.
#include "kernel/buttons.h"

#include <vector>

#include "machine/memory.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

struct buttons_test : kernel_fixture {
  // One frame: a sample with the given (entry, pressure) pairs.
  void sample(std::vector<std::pair<int, int>> pressed) {
    uint8_t s[BUTTON_ENTRIES] = {};
    for (auto [entry, v] : pressed) s[entry] = uint8_t(v);
    buttons_apply_sample(root, s);
  }
  std::string btn(int b, int p = 0) {
    return root_eval("return tostring(btn(" + std::to_string(b) + ", " + std::to_string(p) + "))");
  }
};

TEST_F(buttons_test, OppositesCancelAndDiagonalsAreLimited) {
  struct {
    std::vector<std::pair<int, int>> in;
    std::vector<int> want;  // entries 0..3 of player 0 after the rules
  } cases[] = {
      {{{0, 255}, {1, 255}}, {0, 0, 0, 0}},             // left and right
      {{{2, 90}, {3, 200}, {1, 100}}, {0, 100, 0, 0}},  // up and down
      {{{1, 255}, {3, 255}}, {0, 181, 0, 181}},         // full diagonal
      {{{1, 128}, {3, 128}}, {0, 128, 0, 128}},         // half diagonal unchanged
      {{{0, 200}, {2, 200}}, {181, 0, 181, 0}},
      {{{1, 250}, {2, 40}}, {0, 250, 40, 0}},  // within a full press
      {{{1, 240}, {3, 100}}, {0, 236, 0, 98}},
  };
  for (auto &c : cases) {
    sample(c.in);
    for (int k = 0; k < 4; k++) EXPECT_EQ(root->buttons_current[k], c.want[k]) << k;
  }
  // The second group of a player (buttons 8..11) follows the same rules; the
  // raw sample is what memory shows, without marking the page.
  root->mem.page_flags[RAM_BUTTONS >> 12] = 0;
  sample({{16 + 8, 255}, {16 + 9, 255}, {16 + 11, 255}, {16 + 12, 9}});
  EXPECT_EQ(root->buttons_current[16 + 8] + root->buttons_current[16 + 9], 0);
  EXPECT_EQ(root->buttons_current[16 + 11], 255);
  EXPECT_EQ(root->buttons_current[16 + 12], 9);
  EXPECT_EQ(peek_proc(root, RAM_BUTTONS + 16 + 8), 255);
  EXPECT_EQ(root->mem.page_flags[RAM_BUTTONS >> 12], 0);
}

TEST_F(buttons_test, BtnReadsPressureMasksAndRanges) {
  sample({{0, 40}, {4 * 16 + 0, 255}, {7 * 16 + 7, 1}, {15, 3}});
  EXPECT_EQ(btn(0), "40");
  EXPECT_EQ(btn(15), "3");
  EXPECT_EQ(btn(1), "false");
  EXPECT_EQ(btn(16), "false");
  EXPECT_EQ(btn(0, 8), "false");
  EXPECT_EQ(btn(0, -1), "false");
  EXPECT_EQ(root_eval("return btn()"),
            std::to_string(int64_t(1 | (uint64_t(1) << 32) | (uint64_t(1) << 63))));
  sample({{4 * 16, 255}});
  EXPECT_EQ(root_eval("return btn()"), "4294967296");
  // 40 is pressed for btn, never for btnp.
  sample({{0, 40}});
  sample({{0, 40}});
  EXPECT_EQ(root_eval("return tostring(btnp(0)) .. ' ' .. btnp()"), "false 0");
}

TEST_F(buttons_test, BtnpRepeatTiming) {
  struct {
    int delay, interval;
    std::vector<int> frames;  // frames (1-based) on which a held button fires, up to 60
  } cases[] = {
      {0, 0, {1, 31, 39, 47, 55}},
      {10, 0, {1, 11, 19, 27, 35, 43, 51, 59}},
      {5, 20, {1, 6, 26, 46}},
      {255, 0, {1}},
      {3, 255, {1, 4}},
  };
  for (auto &c : cases) {
    poke_proc(root, RAM_BTNP_DELAY, c.delay);
    poke_proc(root, RAM_BTNP_INTERVAL, c.interval);
    sample({});
    std::vector<int> fired;
    for (int frame = 1; frame <= 60; frame++) {
      sample({{3, 255}});
      if (root_eval("return tostring(btnp(3))") == "true") fired.push_back(frame);
    }
    EXPECT_EQ(fired, c.frames) << c.delay << "/" << c.interval;
  }
  // The mask form reports fresh presses only.
  sample({});
  sample({{0, 64}, {16 + 1, 200}, {2, 63}});
  EXPECT_EQ(root_eval("return btnp()"), std::to_string(1 | (1 << 9)));
  sample({{0, 64}});
  EXPECT_EQ(root_eval("return btnp()"), "0");
}

TEST_F(buttons_test, HeldButtonsAreIgnoredUntilReleased) {
  sample({{5, 255}});
  root_eval("_update_buttons(false)");
  EXPECT_EQ(btn(5), "false");
  sample({{5, 255}});  // still held after the suspension
  EXPECT_EQ(btn(5), "false");
  sample({});
  sample({{5, 255}});
  EXPECT_EQ(btn(5), "255");
  // _signal(23) has the same effect.
  root_eval("_signal(23)");
  EXPECT_EQ(btn(5), "false");
  sample({{5, 255}});
  EXPECT_EQ(btn(5), "false");
  sample({});
  sample({{5, 200}});
  EXPECT_EQ(btn(5), "200");
  // With the host's (idle) controllers the update reads nothing pressed.
  root_eval("_update_buttons(true)");
  EXPECT_EQ(root_eval("return btn()"), "0");
}

}  // namespace
