// Path legality, canonical form, folder matching and extensions.
#include "pdisk/path.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "machine/process.h"
#include "pdisk/mount.h"
#include "tests/pdisk/path_check.h"
#include "pdisk_fixture.h"

static std::string norm(const char *p) {
  pbuffer *b = normalise_kavelund_path(p);
  std::string s = b ? buffer_text(b) : "NULL";
  destroy_buffer(b);
  return s;
}

TEST(PdiskPath, NormaliseTable) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"/", "/"},
      {"//", "/"},
      {"/a/", "/a"},
      {"/a//b/./c/../d/", "/a/b/d"},
      {"/a/..", "/"},
      {"/..", "/"},
      {"/../../x", "/x"},
      {"b", "/b"},
      {"./b/../c", "/c"},
      {"/a/b#12:3", "/a/b#12:3"},
      {"/a#x y", "/a#x y"},
      {"-a", "NULL"},
      {"#a", "NULL"},
      {"/a b", "NULL"},
      {"", "NULL"},
      {"/caf\xc3\xa9", "NULL"},
      {"/a:b", "NULL"},
      {"/a/...", "/a/..."},
      {"/a#/../b c", "NULL"},  // the fold takes the "#" and leaves a blank
  };
  for (auto &c : cases) EXPECT_EQ(norm(c.in), c.out) << c.in;
  EXPECT_EQ(norm(nullptr), "NULL");
}

TEST(PdiskPath, OverlongSegmentFailsInsteadOfNamingAnotherFile) {
  std::string ok = "/a/" + std::string(254, 'x') + "/b";
  EXPECT_EQ(norm(ok.c_str()), ok);
  for (std::string p :
       {"/a/" + std::string(255, 'x') + "/b", "/a/" + std::string(300, 'y'), std::string(255, 'z')})
    EXPECT_EQ(norm(p.c_str()), "NULL") << p.size();

  // collapse_path keeps such a segment and says so
  std::string text = "/q/" + std::string(256, 'k');
  int too_long = 0;
  pbuffer *b = collapse_path(text.c_str(), (int)text.size(), 0, &too_long);
  EXPECT_EQ(buffer_text(b), text);
  EXPECT_EQ(too_long, 1);
  destroy_buffer(b);
}

TEST(PdiskPath, CollapseProtocolPrefix) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"x://host//p", "x://host/p"},
      {"x:///p", "x://p"},
      {"x://host/p/../..", "x://"},
      {"x://h/..", "x://h"},
      {"abc", "abc"},
      {"a/b/../c", "a/c"},
      {"", "/"},
      {"0123456789abcdefg://a/../b", "0123456789abcdefg:/b"},
      // only letters and digits from the start name a protocol
      {"/../../../#://x.txt", "/#:/x.txt"},
      {"#://../x", "/x"},
      {"a.b://../x", "/x"},
      {"a\\://../x", "/x"},
      {"://x", ":/x"},
  };
  for (auto &c : cases) {
    pbuffer *b = collapse_path(c.in, (int)strlen(c.in), 0);
    EXPECT_EQ(buffer_text(b), c.out) << c.in;
    EXPECT_EQ(b->tag, 'N');
    destroy_buffer(b);
  }
}

TEST(PdiskPath, CollapseVerboseTrace) {
  testing::internal::CaptureStdout();
  pbuffer *b = collapse_path("/a/./b/..", 9, 1);
  std::string out = testing::internal::GetCapturedStdout();
  destroy_buffer(b);
  EXPECT_EQ(out,
            ":: collapse: [/a/./b/..]\n"
            "  left segment: a  -> /a\n"
            "  skipped .  -> /a\n"
            "  left segment: b  -> /a/b\n"
            "  folded ..  -> /a\n"
            "  --> [/a]\n");
}

TEST(PdiskPath, ParentMatchDepth) {
  struct {
    const char *m, *p;
    int depth;
  } cases[] = {
      {"/ram", "/ram/x", 1}, {"/ram", "/ramdisk", -1},
      {"/ram", "/ram", 1},   {"/", "/x", 0},
      {"", "/x", 0},         {"/ram/mount/m3", "/ram/mount/m3/a", 3},
      {"/a/b", "/a", -1},    {"/a/b", "/a/c", -1},
  };
  for (auto &c : cases)
    EXPECT_EQ(get_path_parent_match_depth(c.m, c.p), c.depth) << c.m << " " << c.p;
}

TEST(PdiskPath, Extensions) {
  std::string long_ext = "/f." + std::string(65, 'e'), max_ext = "/f." + std::string(64, 'e');
  struct {
    const char *in, *ext;
  } cases[] = {
      {"a.kvd.png", "kvd.png"},
      {"my.file.lua", "file.lua"},
      {"/a.b/c.lua", "lua"},
      {".lua", "lua"},
      {"Main.LUA", "lua"},
      {"/a.b/c", ""},
      {"", ""},
      {"noext", ""},
      {"/x/a.KVD.Rom", "kvd.rom"},
      {long_ext.c_str(), ""},
      {max_ext.c_str(), max_ext.c_str() + 3},
  };
  for (auto &c : cases) EXPECT_STREQ(get_ext(c.in), c.ext) << c.in;
  EXPECT_STREQ(get_ext(nullptr), "");
}

TEST(PdiskPath, LegalCharacters) {
  for (int c = 0; c < 256; c++) {
    bool want = isalnum(c) && c < 128;
    want = want || c == '-' || c == '.' || c == '/' || c == '_';
    EXPECT_EQ(is_path_char(c), want) << c;
  }
  EXPECT_STREQ(get_prot("https://x/y"), "https");
  EXPECT_EQ(get_prot("/a/b"), nullptr);
  EXPECT_EQ(get_prot("/../#://x"), nullptr);
}

TEST(PdiskPath, RelativePathsStartAtTheWorkingFolder) {
  auto *p = (proc *)calloc(1, sizeof(proc));
  proc *saved = cproc;
  cproc = p;
  strcpy(p->pwd, "/a");
  EXPECT_EQ(norm("b"), "/a/b");
  EXPECT_EQ(norm("../c/"), "/c");
  strcpy(p->pwd, "/x/");
  EXPECT_EQ(norm("y"), "/x/y");
  EXPECT_EQ(norm("/abs"), "/abs");
  cproc = saved;
  free(p);
}

// Random texts over the bytes that matter (separators, dots, "#", ":", "\",
// blanks, high bytes and any byte now and then): a canonical path holds no
// "." or ".." segment, collapsing or normalising it again changes nothing,
// and its origin lies under the mount that resolved it.
class PdiskPathProperty : public PdiskTest {};

TEST_F(PdiskPathProperty, CanonicalPathsStayUnderTheirMount) {
  ASSERT_EQ(mount_host_path("/m", (host + "/mm").c_str()), 0);
  const char alphabet[] =
      "/////....ab#:\\ \x80\xff"
      "0k";
  uint64_t state = 88172645463325252ull;
  auto next = [&] {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  };
  int resolved = 0;
  for (int round = 0; round < 20000; round++) {
    std::string text;
    for (int n = int(next() % 24); n > 0; n--) {
      uint64_t r = next();
      text += r % 16 == 0 ? char(r >> 8) : alphabet[(r >> 8) % (sizeof alphabet - 1)];
    }
    if (round % 3 == 0) text = "/" + text;

    pbuffer *c = collapse_path(text.c_str(), int(text.size()), 0);
    std::string once = buffer_text(c);
    destroy_buffer(c);
    c = collapse_path(once.c_str(), int(once.size()), 0);
    EXPECT_EQ(buffer_text(c), once) << text;
    destroy_buffer(c);
    EXPECT_FALSE(has_dot_segment(once)) << text << " -> " << once;

    std::string canon = norm(text.c_str());
    if (canon == "NULL") continue;
    EXPECT_EQ(norm(canon.c_str()), canon) << text;
    EXPECT_FALSE(has_dot_segment(canon)) << text;
    uint32_t kind = 0;
    pbuffer *o = resolve_to_origin(text.c_str(), &kind, 0);
    std::string origin = buffer_text(o);
    destroy_buffer(o);
    bool under_m = canon == "/m" || canon.rfind("/m/", 0) == 0;
    std::string root = kind == MOUNT_RAM ? "/ram" : under_m ? host + "/mm" : host;
    EXPECT_TRUE(origin == root || origin.rfind(root + "/", 0) == 0) << text << " -> " << origin;
    EXPECT_FALSE(has_dot_segment(origin)) << text << " -> " << origin;
    resolved++;
  }
  EXPECT_GT(resolved, 2000);
}
