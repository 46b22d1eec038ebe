// Trimming, web-address encoding, the host viewer started without a shell,
// and the clipboard functions of the Lua API.
#include "host/host_services.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "pdisk/mount.h"
#include "tests/host/host_fixture.h"

namespace {

TEST(host_services, TrimSkipsControlAndHighBytes) {
  struct {
    const char *in, *out;
  } cases[] = {{"  // c", "// c"}, {"x y  \r\n", "x y"}, {"\x01\x80 a\x85", " a"},
               {"", ""},           {"\t\t", ""},         {"abc", "abc"}};
  // A leading space after a high byte is skipped as well (skipping stops at other bytes).
  cases[2].out = "a";
  for (auto c : cases) EXPECT_STREQ(host_trim(c.in), c.out) << c.in;
  EXPECT_EQ(host_trim(nullptr), nullptr);
}

TEST(host_services, AddressesArePercentEncoded) {
  EXPECT_EQ(encode_host_address("https://x.org/a b?q=1&r=50%"), "https://x.org/a%20b?q=1&r=50%25");
  EXPECT_EQ(encode_host_address("http://e/\xE9\"$;"), "http://e/%e9%22%24%3b");
  EXPECT_EQ(encode_host_address(std::string(2000, 'a').c_str()).size(), 1014u);
}

struct viewer_test : host_fixture {
  std::string dir;
  void SetUp() override {
    host_fixture::SetUp();
    char tmpl[] = "/tmp/kvd_viewer_XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/viewer")
        << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > \"$(dirname \"$0\")/args\"\n";
    chmod((dir + "/viewer").c_str(), 0755);
    setenv("KVD_OPEN_COMMAND", (dir + "/viewer").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KVD_OPEN_COMMAND");
    std::system(("rm -rf " + dir).c_str());
    host_fixture::TearDown();
  }
  // The arguments the viewer was given (count, then the first), once it ran.
  std::string viewer_args() {
    for (int i = 0; i < 500; i++) {
      std::ifstream f(dir + "/args");
      std::stringstream s;
      s << f.rdbuf();
      if (s.str().find('\n', s.str().find('\n') + 1) != std::string::npos) {
        std::remove((dir + "/args").c_str());
        return s.str();
      }
      usleep(10000);
    }
    return "";
  }
};

TEST_F(viewer_test, HostPathsReachTheViewerAsOneArgumentWithoutAShell) {
  std::string nasty = dir + "/a \"b\"; touch " + dir + "/pwned $(touch " + dir + "/pwned2)";
  ASSERT_GT(open_host_file(nasty.c_str()), 0);
  EXPECT_EQ(viewer_args(), "1\n" + nasty + "\n");
  struct stat st;
  EXPECT_NE(stat((dir + "/pwned").c_str(), &st), 0);
  EXPECT_NE(stat((dir + "/pwned2").c_str(), &st), 0);
  // From userland: a host mount is opened, a RAM path and http: are not, https: is.
  ASSERT_EQ(mount_host_path("/h", dir.c_str()), 0);
  root_eval("_open_host_path('/h/f.txt')");
  EXPECT_EQ(viewer_args(), "1\n" + dir + "/f.txt\n");
  root_eval("_open_host_path('/ram/nothing') _open_host_path('http://a/') _open_host_path(7)");
  root_eval("_open_host_path('https://a/b c')");
  EXPECT_EQ(viewer_args(), "1\nhttps://a/b%20c\n");
  setenv("KVD_OPEN_COMMAND", (dir + "/missing").c_str(), 1);
  EXPECT_EQ(open_host_file("/x"), -1);
}

TEST_F(viewer_test, ClipboardFunctionsAreRegisteredAndHarmless) {
  for (const char *name : {"_req_host_clipboard_text", "_get_host_clipboard_text",
                           "_set_host_clipboard_text", "_open_host_path"})
    EXPECT_EQ(root_eval(std::string("return type(") + name + ")"), "function") << name;
  // The dummy video driver keeps a clipboard of its own.
  root_eval("_set_host_clipboard_text('hello') _set_host_clipboard_text({})");
  EXPECT_EQ(root_eval("return _get_host_clipboard_text()"), "hello");
  EXPECT_EQ(root_eval("return _req_host_clipboard_text()"), "nil");
}

}  // namespace
