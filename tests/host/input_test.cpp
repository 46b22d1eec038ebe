// Host events into messages for process 3, the mouse and its lock, button
// pressure, and the controller slots (with SDL's virtual joysticks).
#include "base/os_time.h"
#include "machine/app.h"
#include "host/controllers.h"
#include "host/events.h"
#include "tests/host/host_fixture.h"

namespace {

using input_test = host_fixture;

SDL_Event key_event(SDL_Scancode sc) {
  SDL_Event e = {};
  e.type = SDL_KEYDOWN;
  e.key.keysym.scancode = sc;
  return e;
}

TEST_F(input_test, KeysPressedBetweenFramesAreReportedDownThenUp) {
  app.focus_time = 0;
  while (os_get_time() < 200) host_sleep(10);  // past the focus delay
  handle_sdl_messages();
  wm_messages();
  // Pressed and released between two frames: down in this frame, up in the next.
  SDL_Event e = key_event(SDL_SCANCODE_A);
  SDL_PushEvent(&e);
  handle_sdl_messages();
  EXPECT_EQ(host_key_state(SDL_SCANCODE_A), 1);
  EXPECT_EQ(host_key_state(-1), 1);
  EXPECT_EQ(host_key_state(9999), 0);
  EXPECT_STREQ(host_key_from_scancode(SDL_SCANCODE_A), "A");
  EXPECT_EQ(host_key_from_scancode(0), nullptr);
  EXPECT_EQ(host_key_from_scancode(-1), nullptr);
  EXPECT_EQ(wm_messages(), std::vector<std::string>({"{event=\"keydown\",scancode=4}"}));
  handle_sdl_messages();
  EXPECT_EQ(host_key_state(-1), 0);
  EXPECT_EQ(wm_messages(), std::vector<std::string>({"{event=\"keyup\",scancode=4}"}));
  // Within 100 ms of a focus gain a key reads as up; a key down before reads as released.
  host_events.key_state[SDL_SCANCODE_B] = 1;
  SDL_PushEvent(&(e = key_event(SDL_SCANCODE_C)));
  app.focus_time = os_get_time();
  handle_sdl_messages();
  EXPECT_EQ(wm_messages(), std::vector<std::string>({"{event=\"keyup\",scancode=5}"}));
}

TEST_F(input_test, TextWheelAndEscapedText) {
  SDL_Event e = {};
  e.type = SDL_TEXTINPUT;
  std::snprintf(e.text.text, sizeof e.text.text, "a\"\\b");
  handle_sdl_event(e);
  e = {};
  e.type = SDL_MOUSEWHEEL;
  e.wheel.x = -1, e.wheel.y = 2;
  handle_sdl_event(e);
  EXPECT_EQ(wm_messages(),
            std::vector<std::string>({"{event=\"textinput\",text=\"a\\034\\092b\"}",
                                      "{event=\"mousewheel\",wheel_x=-1,wheel_y=2}"}));
}

TEST_F(input_test, MousePositionMapsIntoThePicture) {
  make_window(2);  // 960x540, the picture fills it
  ASSERT_NE(host_window.sdl_window, nullptr);
  int32_t mx, my;
  map_mouse_position(481, 271, &mx, &my);
  EXPECT_EQ(std::vector<int>({mx, my}), std::vector<int>({240, 135}));
  map_mouse_position(-10, 600, &mx, &my);  // windowed: outside is reported as it is
  EXPECT_EQ(std::vector<int>({mx, my}), std::vector<int>({-5, 300}));
  config.fullscreen = 1;
  map_mouse_position(-10, 600, &mx, &my);
  EXPECT_EQ(std::vector<int>({mx, my}), std::vector<int>({0, 269}));
  config.fullscreen = 0;
  // The first frame always reports the mouse.
  handle_sdl_messages();
  auto m = wm_messages();
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m.back().rfind("{event=\"mouse\",mx=", 0), 0u) << m.back();
}

TEST_F(input_test, LockedMotionAccumulatesWholeSteps) {
  make_window(1);  // 480x270: one window unit is one picture pixel
  ASSERT_NE(host_window.sdl_window, nullptr);
  host_lock_mouse_cursor(4, 32, 64);
  EXPECT_EQ(app.mouse_locked, 4);
  EXPECT_EQ(app.skip_next_motion, 1);
  auto motion = [](int dx) {
    SDL_Event e = {};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = host_events.last_locked_host_mx + dx;
    e.motion.y = host_events.last_locked_host_my;
    handle_sdl_event(e);
  };
  motion(5);  // the first motion after locking only resets
  EXPECT_EQ(app.locked_dx, 0);
  EXPECT_EQ(app.skip_next_motion, 0);
  // Sensitivity 32: one pixel a frame gives a step every second frame.
  std::vector<std::string> got;
  for (int frame = 0; frame < 4; frame++) {
    motion(1);
    send_locked_steps();
    for (auto &s : wm_messages()) got.push_back(std::to_string(frame) + s);
  }
  EXPECT_EQ(got,
            std::vector<std::string>({"1{event=\"mouselockedmove\",locked_dx=1,locked_dy=0}",
                                      "3{event=\"mouselockedmove\",locked_dx=1,locked_dy=0}"}));
  app.locked_dx = -63;
  send_locked_steps();
  EXPECT_EQ(app.locked_dx, -63);
  EXPECT_TRUE(wm_messages().empty());
  host_lock_mouse_cursor(0, 64, 64);
  EXPECT_EQ(app.mouse_locked, 0);
}

TEST(input_rules, AxisPressureAndButtonBytes) {
  for (auto [v, p] : {std::pair{8192, 0},
                      {8280, 1},
                      {32767, 255},
                      {-20000, 134},
                      {30632, 255},
                      {0, 0},
                      {-32768, 255}})
    EXPECT_EQ(axis_pressure(v), p) << v;
  std::fill_n(host_events.key_state, HOST_KEYS, 0u);
  host_events.key_state[SDL_SCANCODE_LEFT] = host_events.key_state[SDL_SCANCODE_C] =
      host_events.key_state[SDL_SCANCODE_E] = 1;
  host_events.key_state[SDL_SCANCODE_RETURN] = host_events.key_state[SDL_SCANCODE_RALT] = 1;
  uint8_t b[16] = {};
  b[7] = 9;
  host_get_button_states(0, b);
  EXPECT_EQ(std::vector<int>(b, b + 16),
            std::vector<int>({255, 0, 0, 0, 255, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 255}));
  host_events.key_state[SDL_SCANCODE_RALT] = 0;
  host_get_button_states(0, b);
  EXPECT_EQ(b[6], 255);
  uint8_t other[16] = {};
  host_get_button_states(1, other);  // the keyboard is player 0's only
  EXPECT_EQ(std::count(other, other + 16, 0), 16);
  std::fill_n(host_events.key_state, HOST_KEYS, 0u);
}

TEST(controller_rules, AxesAndButtonsCountOnlyOnceSeenAtRest) {
  metacon_slot s = {};
  EXPECT_EQ(validate_axis(s, 4, -32768), 0);  // a trigger resting at -32768
  EXPECT_EQ(validate_axis(s, 4, -8192), 0);
  EXPECT_EQ(validate_axis(s, 4, 8191), 8191);
  EXPECT_EQ(validate_axis(s, 4, -32768), -32768);
  EXPECT_EQ(validate_axis(s, 40, 1), 0);         // no such axis
  EXPECT_FALSE(validate_button(s, 3, true, 0));  // held while plugged in
  EXPECT_FALSE(validate_button(s, 3, false, 0));
  EXPECT_TRUE(validate_button(s, 3, true, 0));
}

struct controller_test : host_fixture {
  void SetUp() override {
    host_fixture::SetUp();
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER), 0);
  }
  void TearDown() override {
    host_joystick_exit();
    while (SDL_NumJoysticks() > 0) SDL_JoystickDetachVirtual(0);
    host_fixture::TearDown();
  }
  static int attach() {
    return SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, 6, 15, 1);
  }
};

TEST_F(controller_test, DevicesOpenOnceAndMoveDownWhenOthersLeave) {
  ASSERT_GE(attach(), 0);
  ASSERT_GE(attach(), 0);
  host_joystick_init();
  EXPECT_TRUE(metacon[0].controller || metacon[0].joystick);
  EXPECT_TRUE(metacon[1].controller || metacon[1].joystick);
  metacon_slot first = metacon[0], second = metacon[1];
  second.axis_validated[2] = 1;
  metacon[1] = second;
  metacon[0].buttons_validated = 1;
  // SDL reports both devices as added after the start: nothing is opened again.
  SDL_Event e;
  while (SDL_PollEvent(&e)) handle_sdl_event(e);
  EXPECT_EQ(metacon[0].instance_id, first.instance_id);
  EXPECT_EQ(metacon[1].instance_id, second.instance_id);
  EXPECT_FALSE(metacon[2].controller || metacon[2].joystick);
  EXPECT_EQ(metacon[0].buttons_validated, 1u);
  // Unplugging the first moves the second into slot 0 with its validation.
  e = {};
  e.type = SDL_CONTROLLERDEVICEREMOVED;
  e.cdevice.which = first.instance_id;
  handle_sdl_event(e);
  EXPECT_EQ(metacon[0].instance_id, second.instance_id);
  EXPECT_EQ(metacon[0].axis_validated[2], 1);
  EXPECT_FALSE(metacon[1].controller || metacon[1].joystick);
  // An unknown instance changes nothing.
  e.cdevice.which = 12345;
  handle_sdl_event(e);
  EXPECT_EQ(metacon[0].instance_id, second.instance_id);
  connect_joystick(32);  // no such slot
}

TEST(controller_rules, MappingFileLinesAreTrimmedAndCommentsSkipped) {
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER), 0);
  const char *guid = "03000000aaaa0000bbbb000000000000";
  std::string text =
      std::string("  // a comment\n\n") + guid + ",Kvd Test Pad,a:b0,b:b1,platform:Linux,  \r\n";
  FILE *f = fmemopen(text.data(), text.size(), "rb");
  add_controller_mappings_from(f);
  std::fclose(f);
  char *m = SDL_GameControllerMappingForGUID(SDL_JoystickGetGUIDFromString(guid));
  ASSERT_NE(m, nullptr);
  EXPECT_NE(std::string(m).find("Kvd Test Pad,a:b0,b:b1,"), std::string::npos) << m;
  EXPECT_NE(std::string(m).back(), ' ');
  SDL_free(m);
}

}  // namespace
