// The mount table and the resolution of paths to origins.
#include "pdisk/mount.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk_fixture.h"

class PdiskMount : public PdiskTest {
 protected:
  // origin and kind of a path ("" and 0 when it does not resolve)
  std::pair<std::string, uint32_t> resolve(const char *path, int skip_exact = 0) {
    uint32_t kind = 0;
    pbuffer *o = resolve_to_origin(path, &kind, skip_exact);
    std::pair<std::string, uint32_t> r{buffer_text(o), kind};
    EXPECT_EQ(o->tag, '!');
    destroy_buffer(o);
    return r;
  }
};

TEST_F(PdiskMount, DeepestMountWinsAndFirstOfEqualDepth) {
  EXPECT_EQ(resolve("/ram/x"), std::make_pair(std::string("/ram/x"), 2u));
  EXPECT_EQ(resolve("/a/b.txt"), std::make_pair(host + "/a/b.txt", 1u));
  EXPECT_EQ(resolve("/ramdisk"), std::make_pair(host + "/ramdisk", 1u));
  ASSERT_EQ(mount_host_path("/m/", (host + "/one/").c_str()), 0);
  ASSERT_EQ(mount_host_path("/m", (host + "/two").c_str()), 0);
  EXPECT_EQ(resolve("/m/f"), std::make_pair(host + "/one/f", 1u));
  EXPECT_EQ(resolve("/m/../m/./f/"), std::make_pair(host + "/one/f", 1u));
}

TEST_F(PdiskMount, SkipExactPassesOverTheMountAtThePath) {
  ASSERT_NE(mount_p_path("/c.kvd", "/ram/mount/m1"), nullptr);
  EXPECT_EQ(resolve("/c.kvd"), std::make_pair(std::string("/ram/mount/m1"), 2u));
  EXPECT_EQ(resolve("/c.kvd", 1), std::make_pair(host + "/c.kvd", 1u));
  EXPECT_EQ(resolve("/c.kvd/main.lua", 1),
            std::make_pair(std::string("/ram/mount/m1/main.lua"), 2u));
}

TEST_F(PdiskMount, AliasOfAFolderAndOfTheRoot) {
  pmount_entry *m = mount_p_path("/al", "/d/x/");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->kind, 1u);
  EXPECT_EQ(resolve("/al/f"), std::make_pair(host + "/d/x/f", 1u));
  // an alias mounted at "/" keeps the separator after its origin
  pfile_reset();
  ASSERT_EQ(mount_ram_folder("/ram"), 0);
  ASSERT_NE(mount_p_path("/", "/ram/box"), nullptr);
  EXPECT_EQ(resolve("/q/r"), std::make_pair(std::string("/ram/box/q/r"), 2u));
  EXPECT_EQ(resolve("/ram/q"), std::make_pair(std::string("/ram/q"), 2u));
}

TEST_F(PdiskMount, BadTargetIsRefusedNotMappedOntoTheHostRoot) {
  int before = pmounts;
  EXPECT_EQ(mount_p_path("/bad", "/no such"), nullptr);
  EXPECT_EQ(mount_p_path("/bad", nullptr), nullptr);
  EXPECT_EQ(mount_p_path("/bad", "-x"), nullptr);
  EXPECT_EQ(mount_p_path("bad point", "/ram"), nullptr);
  EXPECT_EQ(mount_p_path(nullptr, "/ram"), nullptr);
  EXPECT_EQ(mount_host_path(nullptr, "/h"), -1);
  EXPECT_EQ(mount_host_path("/h", nullptr), -1);
  EXPECT_EQ(pmounts, before);
  EXPECT_EQ(resolve("/bad/etc/passwd"), std::make_pair(host + "/bad/etc/passwd", 1u));
}

TEST_F(PdiskMount, UnresolvablePathFailsThatOperationOnly) {
  pfile_reset();
  ASSERT_EQ(mount_ram_folder("/ram"), 0);
  uint32_t kind = 77;
  pbuffer *o = resolve_to_origin("/nowhere/x", &kind, 0);
  EXPECT_EQ(o->length, 0);
  EXPECT_EQ(kind, 77u);
  destroy_buffer(o);
  EXPECT_EQ(pfopen("/nowhere/x", "w"), nullptr);
  EXPECT_EQ(put("/ram/still", "works"), true);
  EXPECT_EQ(get("/ram/still"), "works");
}

TEST_F(PdiskMount, FullTableRefusesNewMounts) {
  while (pmounts < PDISK_MAX_MOUNTS) ASSERT_EQ(mount_host_path("/extra", host.c_str()), 0);
  EXPECT_EQ(mount_host_path("/one_more", host.c_str()), -1);
  EXPECT_EQ(mount_ram_folder("/one_more"), 1);
  EXPECT_EQ(mount_p_path("/one_more", "/ram"), nullptr);
  EXPECT_EQ(pmounts, PDISK_MAX_MOUNTS);
  EXPECT_EQ(resolve("/ram/x").second, 2u);
}

// No path, however built, resolves outside the origin of the mount it
// belongs to.
TEST_F(PdiskMount, RandomPathsStayInsideTheirMount) {
  ASSERT_EQ(mount_host_path("/d", (host + "/sub").c_str()), 0);
  ASSERT_NE(mount_p_path("/al", "/d/x"), nullptr);
  ASSERT_NE(mount_p_path("/ra", "/ram/r"), nullptr);
  const char *segs[] = {"..", ".", "", "d", "al", "ram", "ra", "x", "..."};
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; i++) {
    std::string p;
    int n = rng() % 8;
    for (int k = 0; k < n; k++) p += std::string(rng() % 4 ? "/" : "//") + segs[rng() % 9];
    if (p.empty()) p = "/";
    pbuffer *canon = normalise_kavelund_path(p.c_str());
    ASSERT_NE(canon, nullptr) << p;
    std::string c = buffer_text(canon);
    destroy_buffer(canon);
    auto [origin, kind] = resolve(p.c_str());
    auto under = [&](const std::string &point, const std::string &root) {
      return path_is_at_or_below(c.c_str(), point.c_str())
                 ? path_is_at_or_below(origin.c_str(), root.c_str())
                 : true;
    };
    ASSERT_TRUE(path_is_at_or_below(origin.c_str(), host.c_str()) ||
                path_is_at_or_below(origin.c_str(), "/ram"))
        << p << " -> " << origin;
    ASSERT_TRUE(under("/d", host + "/sub")) << p << " -> " << origin;
    ASSERT_TRUE(under("/al", host + "/sub/x")) << p << " -> " << origin;
    ASSERT_TRUE(under("/ra", "/ram/r")) << p << " -> " << origin;
    ASSERT_EQ((origin + "/").find("/../"), std::string::npos) << p;
  }
}

TEST_F(PdiskMount, Descriptions) {
  ASSERT_EQ(mount_host_path("/h", "/some/where/"), 0);
  EXPECT_STREQ(get_mount_description("/h"), "host:/some/where");
  EXPECT_STREQ(get_mount_description("/ram/"), "/ram");
  EXPECT_EQ(get_mount_description("/h/x"), nullptr);
  EXPECT_EQ(get_mount_description("bad path"), nullptr);
  EXPECT_EQ(get_mount_by_mount_point("/h", 2), nullptr);
  EXPECT_NE(get_mount_by_mount_point("/h", 1), nullptr);
}

TEST_F(PdiskMount, WritesMarkTheDeepestMountDirtyOnce) {
  ASSERT_NE(mount_p_path("/cart", "/ram/c1"), nullptr);
  pmount_entry *ram = get_mount_by_mount_point("/ram", 2);
  pmount_entry *cart = get_mount_by_mount_point("/cart", 2);
  EXPECT_EQ(get("/cart/main.lua"), "<none>");
  EXPECT_EQ(cart->dirty, 0u);

  ASSERT_TRUE(put("/cart/main.lua", "x = 1"));
  EXPECT_EQ(get("/cart/main.lua"), "x = 1");
  EXPECT_EQ(cart->dirty, 1u);
  EXPECT_EQ(ram->dirty, 0u);
  ASSERT_NE(cart->flush_time, 0u);
  cart->flush_time = 12345;  // a later change does not move the time
  ASSERT_TRUE(put("/cart/main.lua", "x = 2"));
  EXPECT_EQ(cart->flush_time, 12345u);

  cart->dirty = 0;
  cart->flush_time = 0;
  EXPECT_EQ(get("/cart/main.lua"), "x = 2");  // reading marks nothing
  EXPECT_EQ(cart->dirty, 0u);
  EXPECT_EQ(cart->flush_time, 0u);
}
