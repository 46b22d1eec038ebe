// System signals, settings, flip and the process list seen from Lua.
#include <chrono>
#include <thread>

#include "base/ram_layout.h"
#include "machine/memory.h"
#include "userdata/udata.h"
#include "kernel/api.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using api_system_test = kernel_fixture;

TEST_F(api_system_test, SettingsTableGoesThroughTheSettingRules) {
  config_set_defaults();
  config.headless = 1;
  root_eval(
      "_apply_system_settings({volume = 300, fullscreen = false, pixel_scale = 2.5, "
      "deadzone = 7.0, mute_audio = 'x', swap_stereo = true, [1] = 5})");
  EXPECT_EQ(config.volume, 256);
  EXPECT_EQ(config.fullscreen, 0);
  EXPECT_EQ(config.pixel_scale, 0);  // no exact integer value
  EXPECT_EQ(config.deadzone, 7);
  EXPECT_EQ(config.mute_audio, 0);
  EXPECT_EQ(config.swap_stereo, 1);
  testing::internal::CaptureStdout();
  root_eval("_apply_system_settings(5)");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "** lua54__apply_system_settings failed; not a table\n");
}

TEST_F(api_system_test, SignalsSetTheirFlagsAndOthersDoNothing) {
  app_state before = app;
  root_eval("_signal(2) _signal(-1) _signal('x') _signal()");
  EXPECT_EQ(std::memcmp(&before, &app, sizeof app), 0);
  root_eval("_signal(33) _signal(34) _signal(35) _signal(36) _signal(37) _signal(40)");
  EXPECT_EQ(app.exit_request, 1u);
  EXPECT_EQ(app.reboot_request, 1u);
  EXPECT_EQ(app.userland_flag_35 + app.userland_flag_36 + app.userland_booted, 3u);
  EXPECT_EQ(app.exclusive_process, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a stamp of 0 means none
  root_eval("_signal(41) _signal(43) _signal(46) _signal(15)");
  EXPECT_EQ(app.exclusive_process, 0);
  EXPECT_EQ(root->boost, 1);
  EXPECT_NE(root->activity_stamp, 0);
  EXPECT_GT(root->audio_priority, 0);
  root_eval("_signal(44) _signal(47)");
  EXPECT_EQ(root->boost, 0);
  EXPECT_EQ(root->activity_stamp, 0);

  root_eval("_signal(38)");
  int64_t first = root->baseline;
  EXPECT_GT(first, 0);
  root_eval("junk = {} for i = 1, 1000 do junk[i] = {} end _signal(38)");
  EXPECT_EQ(root->baseline, first);
}

TEST_F(api_system_test, FlipMarksTheFrameUnlessAskedOnlyToYield) {
  poke_proc(root, RAM_PROCESS_FLAGS, PFLAG_INCREMENTAL_GC | PFLAG_HOLD_FRAME);
  cpu_budget.superyielding = 0;
  root_eval("flip(1)");
  EXPECT_EQ(root->flipped, 0);
  EXPECT_EQ(cpu_budget.superyielding, CPU_FORCE_YIELD);
  EXPECT_EQ(peek_proc(root, RAM_PROCESS_FLAGS), PFLAG_INCREMENTAL_GC | PFLAG_HOLD_FRAME);
  root->activity_stamp = 5;
  root_eval("flip()");
  EXPECT_EQ(root->flipped, 1);
  EXPECT_EQ(root->activity_stamp, 0);
  EXPECT_EQ(peek_proc(root, RAM_PROCESS_FLAGS), PFLAG_INCREMENTAL_GC);
  cpu_budget.superyielding = 0;
}

TEST_F(api_system_test, ProcessListReportsPriorityRules) {
  spawn("", "two");
  spawn("", "three");
  int64_t a = spawn("", "a"), b = spawn("", "b"), c = spawn("", "c");
  get_process(a)->boost = 1;
  poke_proc(get_process(b), RAM_PROCESS_FLAGS, PFLAG_LOW_PRIORITY);
  app.exclusive_process = c;
  EXPECT_EQ(root_eval(R"(local s = ""
    for _, p in ipairs(_get_process_list()) do s = s .. p.id .. ":" .. p.priority .. " " end
    return s)"),
            "1:0.0 2:0.0 3:0.0 4:2.0 5:0.1 6:10.0 ");
  EXPECT_EQ(root_eval("local l = _get_process_list() return l[4].memory - l[4].cpu"),
            std::to_string(proc_counted_memory(get_process(a))) + ".0");
  app.exclusive_process = 0;
}

TEST_F(api_system_test, FinalisersRemovingProcessesDuringListsAndSendsAreHarmless) {
  // Listing and sending allocate; the finalisers this runs remove the very
  // processes being listed or sent to (caught by the address sanitiser).
  EXPECT_EQ(root_eval(R"lua(
    local victims = {}
    local mt = {__gc = function() for _, id in ipairs(victims) do _kill_process(id) end end}
    local big = {}
    for i = 1, 300 do big["k" .. i] = i end
    collectgarbage("incremental", 100, 400)
    for round = 1, 60 do
      victims = {}
      for i = 1, 20 do
        victims[i] = _create_process_from_code("while true do flip() end", "v", "/v.lua")
      end
      for i = 1, 20 do setmetatable({}, mt) end
      for i = 1, 20 do
        if round % 2 == 0 then _get_process_list() else send_message(victims[#victims], big) end
      end
    end
    return _get_process_list()[1].id)lua"),
            "1");
}

// A sandboxed process reaches only itself with the process-control calls:
// another's id is a missing process, and it may neither hold the system nor
// end or reboot the workstation. Without the sandbox the same calls act.
TEST_F(api_system_test, ASandboxedProcessControlsOnlyItself) {
  config.network_access = 1;
  proc *victim = get_process(spawn("", "victim"));
  proc *boxed = get_process(spawn("", "boxed"));
  ASSERT_TRUE(victim && boxed);
  boxed->env_given = 1;
  int64_t victim_id = victim->id;
  const std::string v = std::to_string(victim_id);
  const char *udp = "_create_udp_socket(9, '127.0.0.1')";
  std::string victim_socket = results_in(victim, udp);
  std::string own_socket = results_in(boxed, udp);
  ASSERT_EQ(results_in(victim, "_sock_status(" + victim_socket + ")"), "ready");

  lua_State *victim_state = victim->L;
  for (const std::string &call :
       {"_close_process_host_resources(" + v + ")", "_kill_process(" + v + ")",
        "_kill_process(" + v + ", 1)", "_kill_process(" + v + ".7)"})
    EXPECT_EQ(results_in(boxed, call), "") << call;
  ASSERT_EQ(get_process(victim_id), victim);
  EXPECT_EQ(victim->L, victim_state);  // not restarted either
  EXPECT_EQ(results_in(victim, "_sock_status(" + victim_socket + ")"), "ready");

  app.exclusive_process = (int32_t)victim_id;
  app_state before = app;
  eval_in(boxed, "_signal(33) _signal(34) _signal(40) _signal(41)");
  EXPECT_EQ(std::memcmp(&before, &app, sizeof app), 0);
  app.exclusive_process = 0;

  // On itself the calls act.
  results_in(boxed, "_close_process_host_resources(pid())");
  EXPECT_EQ(results_in(boxed, "_sock_status(" + own_socket + ")"), "");

  // Unsandboxed, the same calls reach the other process.
  boxed->env_given = 0;
  results_in(boxed, "_close_process_host_resources(" + v + ")");
  EXPECT_EQ(results_in(victim, "_sock_status(" + victim_socket + ")"), "");
  results_in(boxed, "_signal(40)");
  EXPECT_EQ(app.exclusive_process, boxed->id);
  results_in(boxed, "_kill_process(" + v + ")");
  EXPECT_EQ(get_process(victim_id), nullptr);
}

}  // namespace

namespace {

using blit_video_test = kernel_fixture;

// One _blit_process_video call from the root, called directly so that only
// its own charge is counted: its results as "count:first" and its charge.
std::string blit_video(proc *root, std::initializer_list<lua_Integer> args, int32_t *charged) {
  lua_State *L = root->L;
  int top = lua_gettop(L);
  lua_pushcfunction(L, lua54__blit_process_video);
  for (lua_Integer a : args) lua_pushinteger(L, a);
  cpu_budget.cycles = 0;
  lua_call(L, (int)args.size(), LUA_MULTRET);
  *charged = cpu_budget.cycles;
  cpu_budget.cycles = 0;
  int n = lua_gettop(L) - top;
  std::string out = std::to_string(n) + ":" + (n ? luaL_tolstring(L, top + 1, nullptr) : "nil");
  lua_settop(L, top);
  return out;
}

TEST_F(blit_video_test, CopiesOnlyWithATargetFromALiveSourceNotHoldingItsFrame) {
  int64_t src = spawn("", "src");
  proc *s = get_process(src);
  poke2_proc(s, RAM_DISPLAY_WIDTH, 480);
  poke2_proc(s, RAM_DISPLAY_HEIGHT, 270);
  int32_t charged = 0;
  // No draw target: true, nothing copied or charged, no clip to refresh; a
  // missing source still gives nothing.
  poke2_proc(root, RAM_CLIP_RECT + 4, 100);
  EXPECT_EQ(blit_video(root, {src}, &charged), "1:true");
  EXPECT_EQ(charged, 0);
  EXPECT_EQ(root->target_clip_word, 0u);
  EXPECT_EQ(blit_video(root, {999}, &charged), "0:nil");

  ASSERT_EQ(root_eval("target = userdata('u8', 200, 100) return 1"), "1");
  lua_getglobal(root->L, "target");
  root->draw_target = to_udata(root->L, -1);
  lua_pop(root->L, 1);
  ASSERT_NE(root->draw_target, nullptr);

  // The clip word x0, y0, x1, y1 = -3, 7, 100, -1: left raised to 0, the
  // bottom edge compared unsigned against the target's height.
  poke2_proc(root, RAM_CLIP_RECT, -3);
  poke2_proc(root, RAM_CLIP_RECT + 2, 7);
  poke2_proc(root, RAM_CLIP_RECT + 6, -1);
  const struct {
    std::initializer_list<lua_Integer> args;
    std::string result;
    int32_t charged;
  } cases[] = {
      {{src}, "0:nil", 0},  // whole screen, plain: free
      // any other copy is charged: 100 x 93 pixels copied under the clip,
      // figure 9300 / 4, charged / 64
      {{src, 0, 0, 480, 269}, "0:nil", 9300 / 4 / 64},
      {{999}, "0:nil", 0},  // no such process
  };
  for (const auto &c : cases) {
    EXPECT_EQ(blit_video(root, c.args, &charged), c.result) << c.args.size();
    EXPECT_EQ(charged, c.charged) << c.args.size();
  }
  EXPECT_EQ(root->target_clip.left, 0);
  EXPECT_EQ(root->target_clip.top, 7);
  EXPECT_EQ(root->target_clip.right, 100);
  EXPECT_EQ(root->target_clip.bottom, 100);

  poke_proc(s, RAM_VIDEO_COPY_MASK, 1);  // a masked whole-screen copy is charged, / 8
  EXPECT_EQ(blit_video(root, {src}, &charged), "0:nil");
  EXPECT_EQ(charged, 9300 / 4 / 8);
  poke_proc(s, RAM_PROCESS_FLAGS,
            PFLAG_HOLD_FRAME);  // holding its frame: true, nothing copied or charged
  EXPECT_EQ(blit_video(root, {src}, &charged), "1:true");
  EXPECT_EQ(charged, 0);
  s->state = 2;  // failed: nothing
  EXPECT_EQ(blit_video(root, {src}, &charged), "0:nil");
  root->draw_target = nullptr;
}

// A sandboxed process cannot leave its sandbox by starting a program: what
// it creates is sandboxed as well, whatever environment it names, and stays
// so when it restarts itself.
TEST_F(api_system_test, ASandboxedProcessStartsOnlySandboxedProcesses) {
  std::string boxed_id = root_results("_create_process_from_code('', 'boxed', '/b.lua', 'box')");
  proc *boxed = get_process(std::stoll(boxed_id));
  ASSERT_TRUE(boxed && boxed->env_given);
  for (const char *env : {"", ", nil", ", ''", ", {}", ", 'other'"}) {
    std::string id = results_in(
        boxed, std::string("_create_process_from_code('', 'child', '/c.lua'") + env + ")");
    proc *child = get_process(std::stoll(id));
    ASSERT_TRUE(child) << env;
    int64_t child_id = child->id;
    EXPECT_NE(child->env_given, 0) << env;
    root_results("_kill_process(" + id + ", 1)");  // a restart keeps the sandbox
    child = get_process(child_id);
    ASSERT_TRUE(child) << env;
    EXPECT_NE(child->env_given, 0) << env;
    app_state before = app;
    eval_in(child, "_signal(33) _signal(34) _signal(40) _kill_process(1)");
    EXPECT_EQ(std::memcmp(&before, &app, sizeof app), 0) << env;
    kill_process_by_id(child_id);
  }
  // Without the sandbox, an empty environment gives an unsandboxed child.
  std::string free_id = root_results("_create_process_from_code('', 'free', '/f.lua')");
  EXPECT_EQ(get_process(std::stoll(free_id))->env_given, 0);
}

}  // namespace
