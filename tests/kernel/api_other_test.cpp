// The small system functions: clipboard, working folder, paths, the sprite
// table and draw target, window icon and title, string indexing, and _md5
// and _crc against Python's hashlib and zlib.
#include <unistd.h>

#include <fstream>

#include "machine/memory.h"
#include "userdata/udata.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "kernel/api.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

struct api_other_test : kernel_fixture {
  void SetUp() override {
    kernel_fixture::SetUp();
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    ASSERT_EQ(pmkdir("/ram/a"), 0);
    ASSERT_EQ(pmkdir("/ram/a/b"), 0);
  }
};

TEST_F(api_other_test, ClipboardIsSharedByEveryProcess) {
  userland_clipboard_text.clear();
  EXPECT_EQ(root_eval("return '[' .. _get_userland_clipboard_text() .. ']'"), "[]");
  int64_t other = spawn("_set_userland_clipboard_text(12.5) _set_userland_clipboard_text({})");
  prepare_processes_for_frame();
  run_process_slice(get_process(other), 1.0);
  set_current_process(root);
  EXPECT_EQ(root_eval("return _get_userland_clipboard_text()"), "12.5");
  root_eval("_set_userland_clipboard_text('ab\\0cd')");
  EXPECT_EQ(root_eval("return #_get_userland_clipboard_text()"), "2");
}

TEST_F(api_other_test, WorkingFolder) {
  struct {
    const char *code, *want;
  } cases[] = {
      {"return pwd()", "/"},
      {"return select('#', cd('/ram/a/b')) .. ' ' .. pwd()", "0 /ram/a/b"},
      {"return select('#', cd('..')) .. ' ' .. pwd()", "0 /ram/a"},
      {"return cd('nowhere') .. ' ' .. pwd()", "path not found /ram/a"},
      {"return select('#', cd({})) .. ' ' .. pwd()", "0 /ram/a"},
      {"cd('/not/there', true) return pwd() .. ' ' .. _pwd()", "/not/there /not/there"},
      {"cd(('x'):rep(257), 1) return pwd()", "/not/there"},
      {"_cd('/ram') return _pwd()", "/ram"},
  };
  for (auto &c : cases) EXPECT_EQ(root_eval(c.code), c.want) << c.code;
}

TEST_F(api_other_test, PathsAndServerPaths) {
  struct {
    const char *call, *want;
  } cases[] = {
      {"_normalise_userland_path('//a/./b/../c')", "/a/c"},
      {"_normalise_userland_path('')", "/"},
      {"select('#', _normalise_userland_path(nil))", "0"},
      {"tostring(_is_well_formed_bbs_path('ABC:/!'))", "true"},
      {"tostring(_is_well_formed_bbs_path('bbs://abc_1.2/x'))", "true"},
      {"tostring(_is_well_formed_bbs_path('bbs://Abc'))", "false"},
      {"tostring(_is_well_formed_bbs_path('bbs://a-b'))", "false"},
      {"select('#', _is_well_formed_bbs_path())", "0"},
      {"_strindex('abc', 2) .. tostring(_strindex('abc', 0)) .. tostring(_strindex('abc', 4)) .. "
       "tostring(_strindex('abc')) .. _strindex(123, '3') .. tostring(_strindex({}, 1))",
       "bnilnilnil3nil"},
  };
  for (auto &c : cases) EXPECT_EQ(root_eval(std::string("return ") + c.call), c.want) << c.call;
  testing::internal::CaptureStdout();
  EXPECT_EQ(root_eval("return norm('/a/../b')"), "/b");
  EXPECT_NE(testing::internal::GetCapturedStdout().find(":: collapse: [/a/../b]"),
            std::string::npos);
}

TEST_F(api_other_test, MountAddsAMountOfTheTarget) {
  root_eval("mount('/m', '/ram/a') _mount('/bad\\1', '/ram/a') mount('/n', 7)");
  EXPECT_NE(get_mount_by_mount_point("/m", 0), nullptr);
  EXPECT_EQ(get_mount_by_mount_point("/n", 0), nullptr);
  EXPECT_EQ(root_eval("return select('#', cd('/m/b')) .. pwd()"), "0/m/b");
}

TEST_F(api_other_test, DrawTargetAndSprites) {
  root_eval("_set_draw_target(userdata('u8', 300, 200))");
  ASSERT_NE(root->draw_target, nullptr);
  EXPECT_EQ(root_eval("return peek2(0x5528) .. peek2(0x552A) .. ' ' .. peek2(0x552C) .. ' ' .. "
                      "peek2(0x552E)"),
            "00 300 200");
  EXPECT_EQ(root->target_clip.right, 300);
  EXPECT_EQ(root->target_clip.bottom, 200);
  udata *before = root->draw_target;
  root_eval("_set_draw_target(nil) _set_draw_target(5)");
  EXPECT_EQ(root->draw_target, before);
  // A smaller target of the same clip words still gets its own rectangle.
  root_eval(
      "clip_words = peek4(0x5528) poke2(0x552C, 10) _set_draw_target(userdata('u8', 300, 200))");
  EXPECT_EQ(root->target_clip.right, 300);

  root_eval("_set_spr(8197, userdata('u8', 8, 8)) _set_spr(6, 'x') _set_spr(7)");
  ASSERT_NE(root->sprites[5], nullptr);
  EXPECT_EQ(root->sprites[5]->width, 8u);
  EXPECT_EQ(root->sprites[6], get_null_sprite());
  EXPECT_EQ(root->sprites[7], get_null_sprite());
}

TEST_F(api_other_test, HostWindowCallsAcceptOnlyTheirShapes) {
  // The host layer is a stand-in here: these must simply not fail.
  EXPECT_EQ(root_eval("_set_host_window_icon(userdata('u8', 8, 8)) "
                      "_set_host_window_icon(userdata('u8', 16, 16)) "
                      "_set_host_window_icon(userdata('i16', 16, 16)) _set_host_window_icon() "
                      "_set_host_window_title('x') _set_host_window_title({}) _warp_mouse(10, 'y') "
                      "return 'ok'"),
            "ok");
}

TEST_F(api_other_test, HashesMatchPythonAndCharge) {
  const char *py = getenv("KVD_PYTHON");
  if (!py) GTEST_SKIP() << "run through ctest";
  std::string script = testing::TempDir() + "kvd_hash_ref_" + std::to_string(getpid()) + ".py";
  std::ofstream(script) << "import hashlib, zlib\n"
                           "for n in (0, 1, 3, 55, 56, 63, 64, 65, 1000, 65537):\n"
                           "    s = bytes((i * 7 + n) % 256 for i in range(n))\n"
                           "    print(hashlib.md5(s).hexdigest(), zlib.crc32(s))\n";
  std::string want = command_output(std::string(py) + " " + script);
  std::string got = root_eval(R"(
    local out = {}
    for _, n in ipairs({0, 1, 3, 55, 56, 63, 64, 65, 1000, 65537}) do
      local b = {}
      for i = 0, n - 1 do b[#b + 1] = string.char((i * 7 + n) % 256) end
      local s = table.concat(b)
      out[#out + 1] = _md5(s) .. ' ' .. _crc(s) .. '\n'
    end
    return table.concat(out))");
  EXPECT_EQ(got, want);
  EXPECT_EQ(root_eval("return select('#', _md5({})) .. select('#', _crc()) .. _crc(12)"),
            "00" + std::to_string(0x4F5344CDu));
  root_eval("s = ('x'):rep(8000)");
  auto cycles_of = [&](const std::string &body) {
    root_eval("f = function() " + body + " end");
    cpu_budget.cycles = 0;
    root_eval("f()");
    return cpu_budget.cycles;
  };
  int32_t base = cycles_of("");
  for (auto [call, cost] :
       {std::pair{"_md5(s)", 4000}, std::pair{"_crc(s)", 1000}, std::pair{"_md5('')", 1}}) {
    int32_t used = cycles_of(call) - base;
    EXPECT_GE(used, cost) << call;
    EXPECT_LT(used, cost + 20) << call;
  }
}

}  // namespace
