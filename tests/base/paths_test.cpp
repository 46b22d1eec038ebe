// Host folder rules: program folder, application data (XDG, HOME, configured
// root, export level) and desktop, with HOME and XDG pointed at a temporary
// folder.
#include "base/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/config.h"

namespace {

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Paths : public testing::Test {
 protected:
  std::string dir;
  char out[2048];
  void SetUp() override {
    char tmpl[] = "/tmp/kvd_paths_XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("HOME", dir.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DESKTOP_DIR");
    config = config_state{};
    paths_set_export_name(nullptr, 0);
  }
  void TearDown() override {
    (void)!chdir("/");
    (void)!system(("rm -rf '" + dir + "'").c_str());
  }
};

TEST_F(Paths, ProgramFolder) {
  struct {
    const char *argv0, *want;
  } cases[] = {
      {"/usr/lib/kav/kavelund", "/usr/lib/kav/sysrom.dat"},
      {"./kavelund", "./sysrom.dat"},
      {"/kavelund", "/sysrom.dat"},
      {"a\\b\\kavelund.exe", "a\\b/sysrom.dat"},
  };
  for (auto &c : cases) {
    paths_set_argv0(c.argv0);
    EXPECT_STREQ(paths_prefix_program("sysrom.dat", out), c.want) << c.argv0;
  }
  paths.argv0[0] = 0;
  EXPECT_STREQ(paths_prefix_program("sysrom.dat", out), "sysrom.dat");
  // A stored path without any separator stands for the root folder.
  snprintf(paths.argv0, sizeof paths.argv0, "prog");
  EXPECT_STREQ(paths_prefix_program("data", out), "/data");
  // A bare name is looked up as the running executable.
  paths_set_argv0("kavelund");
  char exe[1024] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  std::string want = std::string(exe).substr(0, std::string(exe).rfind('/')) + "/sysrom.dat";
  EXPECT_EQ(paths_prefix_program("sysrom.dat", out), want);
}

TEST_F(Paths, AppDataDefaultsToXdgUnderHomeAndCreatesLevels) {
  EXPECT_EQ(std::string(paths_prefix_appdata("log.txt", out)),
            dir + "/.local/share/Kavelund/exp/shared/log.txt");
  EXPECT_TRUE(is_dir(dir + "/.local/share/Kavelund/exp/shared"));

  setenv("XDG_DATA_HOME", (dir + "/xdg").c_str(), 1);
  const uint8_t blob[] = {'d', 'e', 'm', 'o', 0, 'x'};
  paths_set_export_name(blob, sizeof blob);
  EXPECT_EQ(std::string(paths_prefix_appdata("", out)), dir + "/xdg/Kavelund/exp/demo/");
  EXPECT_TRUE(is_dir(dir + "/xdg/Kavelund/exp/demo"));

  setenv("XDG_DATA_HOME", "relative/xdg", 1);  // not absolute: ignored
  EXPECT_EQ(std::string(paths_prefix_appdata("", out)), dir + "/.local/share/Kavelund/exp/demo/");
}

TEST_F(Paths, ExportNamesThatLeaveTheFolderAreRefused) {
  const char *bad[] = {"../evil", "a/b", "..", ".", "x\\y"};
  for (const char *b : bad) {
    paths_set_export_name(reinterpret_cast<const uint8_t *>(b), int32_t(strlen(b)));
    EXPECT_EQ(std::string(paths_prefix_appdata("", out)),
              dir + "/.local/share/Kavelund/exp/shared/")
        << b;
  }
  const uint8_t zero[] = {0, 'a'};
  paths_set_export_name(zero, 2);
  EXPECT_EQ(std::string(paths_prefix_appdata("", out)), dir + "/.local/share/Kavelund/exp/shared/");
}

TEST_F(Paths, ConfiguredRootReplacesTheWholePath) {
  snprintf(config.home, sizeof config.home, "%s\\cfg\\root", dir.c_str());
  EXPECT_EQ(std::string(paths_prefix_appdata("x", out)), dir + "/cfg/root/x");
  EXPECT_TRUE(is_dir(dir + "/cfg/root"));
  EXPECT_FALSE(is_dir(dir + "/.local"));
  snprintf(config.home, sizeof config.home, " %s", dir.c_str());  // leading space: unset
  EXPECT_EQ(std::string(paths_prefix_appdata("x", out)),
            dir + "/.local/share/Kavelund/exp/shared/x");
}

TEST_F(Paths, NoHomeGivesARelativeFolder) {
  unsetenv("HOME");
  ASSERT_EQ(chdir(dir.c_str()), 0);
  EXPECT_STREQ(paths_prefix_appdata("x", out), "exp/shared/x");
  EXPECT_STREQ(paths_prefix_desktop("x", out), "x");
}

TEST_F(Paths, DesktopFolder) {
  EXPECT_EQ(std::string(paths_prefix_desktop("kavelund_desktop", out)),
            dir + "/Desktop/kavelund_desktop");
  setenv("XDG_DESKTOP_DIR", (dir + "/Schreibtisch/").c_str(), 1);
  EXPECT_EQ(std::string(paths_prefix_desktop("k", out)), dir + "/Schreibtisch/k");
  snprintf(config.desktop_root, sizeof config.desktop_root, "%s/desk", dir.c_str());
  EXPECT_EQ(std::string(paths_prefix_desktop("k", out)), dir + "/desk/k");
  EXPECT_TRUE(is_dir(dir + "/desk"));
  EXPECT_EQ(paths_mkdir((dir + "/desk").c_str()), -1);  // the host call's result
}

TEST_F(Paths, LongFoldersAreCutNotOverrun) {
  std::string long_root = dir + "/" + std::string(1500, 'a');
  snprintf(config.home, sizeof config.home, "%s", long_root.c_str());
  paths_prefix_appdata("name", out);
  EXPECT_EQ(strlen(out), 1023u + 4u);
  EXPECT_STREQ(out + 1023, "name");
}

}  // namespace
