// Cartridge mounting and write-back, timed by an injected clock.
#include "pdisk/cart_mount.h"

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "machine/app.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"
#include "kernel/frame.h"
#include "pdisk_fixture.h"

namespace {

uint64_t fake_now;
uint64_t fake_clock() { return fake_now; }

class CartMount : public PdiskTest {
 protected:
  void SetUp() override {
    PdiskTest::SetUp();
    fake_now = 10000;
    clock_test_source = fake_clock;
    app.exclusive_process = 0;
    prune_slots_threshold = 4096;
  }
  void TearDown() override {
    clock_test_source = nullptr;
    app.exclusive_process = 0;
    PdiskTest::TearDown();
  }
  static std::string text_cart(const std::string &entries) {
    return "kavelund cartridge // x\nversion 2\n\n" + entries + ":: [eoc]\n";
  }
  int mounts_at(const char *point) {
    int n = 0;
    for (int i = 0; i < pmounts; i++) n += std::string(to_cstr(pmount[i].mount_point)) == point;
    return n;
  }
};

TEST_F(CartMount, KindComesFromTheSuffixAsForAutomounting) {
  const std::pair<const char *, int> cases[] = {
      {"/a.kvd", KVD_TEXT},      {"/v1.2.kvd", KVD_TEXT}, {"/a.kvd.rom", KVD_ROM},
      {"/x/a.kvd.png", KVD_PNG}, {"/a.png", KVD_NONE},    {"/kvd", KVD_NONE},
      {"/a.kvdx", KVD_NONE},     {".kvd", KVD_NONE},
  };
  for (auto [path, kind] : cases) EXPECT_EQ(kvd_path_kind(path), kind) << path;
}

TEST_F(CartMount, ExistingCartridgeIsMountedOnceWithItsContents) {
  write_host("c.kvd", text_cart(":: main.lua\nprint(1)\n"));
  EXPECT_EQ(get("/c.kvd/main.lua"), "print(1)");
  ASSERT_EQ(mounts_at("/c.kvd"), 1);
  pmount_entry *m = mount_kvd_path("/c.kvd");
  EXPECT_EQ(mounts_at("/c.kvd"), 1);
  EXPECT_EQ(std::string(to_cstr(m->origin)).rfind("/ram/mount/m", 0), 0u);
  // mkdir of an existing cartridge that is not mounted yet mounts it once
  write_host("v1.2.kvd", text_cart(":: a.txt\nhi\n"));
  EXPECT_EQ(pmkdir("/v1.2.kvd"), 0);
  EXPECT_EQ(mounts_at("/v1.2.kvd"), 1);
  EXPECT_EQ(get("/v1.2.kvd/a.txt"), "hi");
}

TEST_F(CartMount, ChangesAreWrittenTogether300msAfterTheFirst) {
  ASSERT_EQ(pmkdir("/new.kvd"), 0);
  fake_now += 300;
  flush_dirty_mounts_delayed();
  EXPECT_EQ(read_host("new.kvd"),
            "kavelund cartridge // kavelund.invalid\nversion 2\n\n:: [eoc]\n");

  ASSERT_TRUE(put("/new.kvd/a.lua", "a"));
  fake_now += 200;
  ASSERT_TRUE(put("/new.kvd/b.lua", "b"));
  fake_now += 99;
  flush_dirty_mounts_delayed();
  EXPECT_EQ(read_host("new.kvd").find("a.lua"), std::string::npos);
  fake_now += 1;
  flush_dirty_mounts_delayed();
  std::string saved = read_host("new.kvd");
  EXPECT_NE(saved.find(":: a.lua\na\n:: b.lua\nb\n"), std::string::npos) << saved;
  EXPECT_EQ(get_mount_by_mount_point("/new.kvd", 0)->dirty, 0u);
}

TEST_F(CartMount, ExitWritesDirtyCartridgesWithoutWaiting) {
  ASSERT_EQ(pmkdir("/e.kvd"), 0);
  ASSERT_TRUE(put("/e.kvd/a.lua", "a"));
  flush_dirty_mounts_delayed();
  EXPECT_EQ(read_host("e.kvd"), "<none>");
  kavelund_exit();
  EXPECT_NE(read_host("e.kvd").find(":: a.lua\na\n"), std::string::npos);
  EXPECT_EQ(get_mount_by_mount_point("/e.kvd", 0)->dirty, 0u);
}

TEST_F(CartMount, NothingIsWrittenWhileTheSystemIsHeld) {
  ASSERT_EQ(pmkdir("/h.kvd"), 0);
  ASSERT_TRUE(put("/h.kvd/a.lua", "a"));
  app.exclusive_process = 5;
  fake_now += 1000;
  flush_dirty_mounts_delayed();
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("h.kvd"), "<none>");
  EXPECT_EQ(get_mount_by_mount_point("/h.kvd", 0)->dirty, 1u);
  app.exclusive_process = 0;
  flush_dirty_mounts_delayed();
  EXPECT_NE(read_host("h.kvd").find(":: a.lua"), std::string::npos);
}

TEST_F(CartMount, FailedWriteBackStaysDirtyAndIsTriedAgain) {
  ASSERT_EQ(pmkdir("/d"), 0);
  ASSERT_EQ(pmkdir("/d/f.kvd"), 0);
  ASSERT_TRUE(put("/d/f.kvd/a.lua", "a"));
  std::filesystem::remove_all(host_path("d"));
  fake_now += 300;
  EXPECT_EQ(flush_dirty_mounts_ex(1), 0);
  pmount_entry *m = get_mount_by_mount_point("/d/f.kvd", 0);
  EXPECT_EQ(m->dirty, 1u);
  EXPECT_EQ(m->write_failures, 1u);
  // not before the retry time, then once the folder is back
  std::filesystem::create_directory(host_path("d"));
  fake_now += CART_RETRY_DELAY_MS - 1;
  EXPECT_EQ(flush_dirty_mounts_ex(1), 0);
  fake_now += 1;
  EXPECT_EQ(flush_dirty_mounts_ex(1), 1);
  EXPECT_NE(read_host("d/f.kvd").find(":: a.lua\na\n"), std::string::npos);
  EXPECT_EQ(m->dirty, 0u);
}

TEST_F(CartMount, RomThatCannotBePackedLeavesTheOldFile) {
  pbuffer *rom = create_buffer_2(0, 'p');
  ASSERT_EQ(pmkdir("/ram/src"), 0);
  ASSERT_TRUE(put("/ram/src/a.lua", "old"));
  pbuffer *folder = create_buffer_from_str("/ram/src");
  ASSERT_EQ(write_kvd_rom_from_ram_files(rom, folder, 0), 0);
  write_host("r.kvd.rom", buffer_text(rom));
  destroy_buffer(rom);
  destroy_buffer(folder);
  ASSERT_EQ(get("/r.kvd.rom/a.lua"), "old");
  // a name the ROM reader refuses cannot be packed
  std::string deep = "/r.kvd.rom/" + std::string(200, 'n');
  ASSERT_EQ(pmkdir(deep.c_str()), 0);
  deep += "/" + std::string(200, 'n');
  ASSERT_EQ(pmkdir(deep.c_str()), 0);
  ASSERT_TRUE(put((deep + "/x").c_str(), "x"));
  std::string before = read_host("r.kvd.rom");
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("r.kvd.rom"), before);
  EXPECT_EQ(get_mount_by_mount_point("/r.kvd.rom", 0)->dirty, 1u);
}

TEST_F(CartMount, PngCartridgeIsNeverOverwrittenWithAnEmptyOne) {
  std::string png = "\x89PNG\r\n\x1a\n" + std::string(600, 'p');
  write_host("p.kvd.png", png);
  EXPECT_FALSE(put("/p.kvd.png/a.lua", "a"));  // read-only: the change is refused
  fake_now += 5000;
  flush_dirty_mounts_delayed();
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("p.kvd.png"), png);
  EXPECT_EQ(get_mount_by_mount_point("/p.kvd.png", 0)->dirty, 0u);
}

TEST_F(CartMount, DeletingADirtyMountWritesItFirstAndReleasesItsFiles) {
  ASSERT_EQ(pmkdir("/k.kvd"), 0);
  ASSERT_TRUE(put("/k.kvd/a.lua", "a"));
  std::string origin = to_cstr(get_mount_by_mount_point("/k.kvd", 0)->origin);
  EXPECT_EQ(delete_mount_point("/k.kvd"), 1);
  EXPECT_EQ(mounts_at("/k.kvd"), 0);
  EXPECT_NE(read_host("k.kvd").find(":: a.lua"), std::string::npos);
  EXPECT_EQ(get_ram_file_by_name((origin + "/a.lua").c_str()), nullptr);
  EXPECT_EQ(delete_mount_point("/k.kvd"), 0);
}

TEST_F(CartMount, CleanCartridgeMountsArePrunedDirtyOnesKept) {
  write_host("a.kvd", text_cart(":: x.lua\n1\n"));
  write_host("b.kvd", text_cart(":: y.lua\n2\n"));
  ASSERT_EQ(get("/a.kvd/x.lua"), "1");
  ASSERT_TRUE(put("/b.kvd/y.lua", "3"));
  app.exclusive_process = 7;
  delete_clean_ram_mounts();
  EXPECT_EQ(mounts_at("/a.kvd"), 0);
  EXPECT_EQ(mounts_at("/b.kvd"), 1);
  app.exclusive_process = 0;
  EXPECT_EQ(get("/a.kvd/x.lua"), "1");  // mounted again on use
}

TEST_F(CartMount, PruneThresholdFollowsTheSlotCount) {
  const int32_t cases[][3] = {{4096, 5000, 6144},
                              {6144, 3000, 4608},
                              {5000, 3000, 4096},
                              {152917, 200000, 229375},
                              {152918, 200000, 229376}};
  for (auto &c : cases) EXPECT_EQ(next_prune_threshold(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

TEST_F(CartMount, ProcessMountsGoWhenTheProcessEnds) {
  ASSERT_EQ(pmkdir("/ram/anywhen"), 0);
  ASSERT_EQ(pmkdir("/ram/anywhen/12_x"), 0);
  ASSERT_NE(mount_p_path("/ram/anywhen/12_a", "/ram/anywhen/12_x"), nullptr);
  ASSERT_NE(mount_p_path("/ram/anywhen/123_a", "/ram/anywhen/12_x"), nullptr);
  prune_process_mounts(12);
  EXPECT_EQ(mounts_at("/ram/anywhen/12_a"), 0);
  EXPECT_EQ(mounts_at("/ram/anywhen/123_a"), 1);
}

}  // namespace

namespace {

// The ROM cartridge form of a RAM folder holding the given files.
std::string rom_cart(const std::vector<std::pair<std::string, std::string>> &files) {
  static int n;
  std::string folder = "/ram/romsrc" + std::to_string(n++);
  EXPECT_EQ(pmkdir(folder.c_str()), 0);
  for (auto &[name, bytes] : files) {
    pfile_entry *f = pfopen((folder + "/" + name).c_str(), "w");
    bwrite(bytes.data(), 1, bytes.size(), f->data);
    pfclose(f);
  }
  pbuffer *out = create_buffer_2(0, 'p');
  pbuffer *dir = create_buffer_from_str(folder.c_str());
  EXPECT_EQ(write_kvd_rom_from_ram_files(out, dir, 0), 0);
  std::string rom = buffer_text(out);
  destroy_buffer(out);
  destroy_buffer(dir);
  return rom;
}

TEST_F(CartMount, CartridgesNotReadWholeAreReadOnlyAndKeepTheirFile) {
  std::string rom = rom_cart({{"a.txt", "1"}, {"b.txt", "2"}, {"c.txt", "3"}});
  struct {
    const char *file, *readable;  // a file that reads back, or null
    std::string bytes;
  } cases[] = {
      {"cut.kvd.rom", nullptr, rom.substr(0, rom.size() - 20)},
      {"v3.kvd", nullptr, "kavelund cartridge // x\nversion 3\n\n:: main.lua\nx\n:: [eoc]\n"},
      {"long.kvd", "a.lua",
       text_cart(":: a.lua\nhi\n:: big.bin\nb64$" + std::string(1100, 'A') + "\n")},
      {"names.kvd", "a.lua", text_cart(":: a.lua\nhi\n:: notes@2024.txt\nn\n:: my notes.txt\nm\n")},
      {"noend.kvd", "a.lua", "kavelund cartridge // x\nversion 2\n\n:: a.lua\nhi\n"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.file);
    write_host(c.file, c.bytes);
    std::string dir = std::string("/") + c.file;
    if (c.readable) {
      EXPECT_EQ(get((dir + "/" + c.readable).c_str()), "hi");
    }
    EXPECT_FALSE(put((dir + "/new.txt").c_str(), "x"));
    delete_path((dir + "/no_such_file.txt").c_str());
    if (c.readable) delete_path((dir + "/" + c.readable).c_str());
    EXPECT_NE(pmkdir((dir + "/sub").c_str()), 0);
    fake_now += 5000;
    flush_dirty_mounts_delayed();
    flush_dirty_mounts_immediately();
    EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
    EXPECT_EQ(read_host(c.file), c.bytes);
    if (c.readable) {
      EXPECT_EQ(get((dir + "/" + c.readable).c_str()), "hi");
    }
  }
  // a mount into such a cartridge's subfolder takes no change either
  std::string sub = text_cart(":: sub/\n:: sub/a.lua\nhi\n:: my notes.txt\nm\n");
  write_host("sub.kvd", sub);
  ASSERT_NE(mount_p_path("/ro", "/sub.kvd/sub"), nullptr);
  EXPECT_EQ(get("/ro/a.lua"), "hi");
  EXPECT_FALSE(put("/ro/new.txt", "x"));
  EXPECT_EQ(get("/sub.kvd/sub/new.txt"), "<none>");
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
  EXPECT_EQ(read_host("sub.kvd"), sub);
  // the same ROM read whole stays writable
  write_host("ok.kvd.rom", rom);
  EXPECT_TRUE(put("/ok.kvd.rom/new.txt", "x"));
  flush_dirty_mounts_immediately();
  EXPECT_NE(read_host("ok.kvd.rom"), rom);
}

TEST_F(CartMount, TwoMountPointsOfOneCartridgeShareOneCopy) {
  ASSERT_EQ(pmkdir("/e.kvd"), 0);
  flush_dirty_mounts_immediately();
  ASSERT_NE(mount_p_path("/alias", "/"), nullptr);
  ASSERT_TRUE(put("/e.kvd/a.txt", "a"));
  ASSERT_TRUE(put("/alias/e.kvd/b.txt", "b"));
  EXPECT_EQ(get("/e.kvd/b.txt"), "b");
  fake_now += 1000;
  flush_dirty_mounts_delayed();
  std::string saved = read_host("e.kvd");
  EXPECT_NE(saved.find(":: a.txt\na\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find(":: b.txt\nb\n"), std::string::npos) << saved;
  // dropping the cartridge through one point drops the other too
  delete_clean_ram_mounts();
  EXPECT_EQ(mounts_at("/e.kvd") + mounts_at("/alias/e.kvd"), 0);
  EXPECT_EQ(get("/alias/e.kvd/a.txt"), "a");
}

TEST_F(CartMount, ReplacingOrDeletingACartridgeFileDropsItsMounts) {
  write_host("s.kvd", text_cart(":: a.lua\nold\n"));
  ASSERT_NE(mount_p_path("/alias", "/"), nullptr);
  ASSERT_EQ(get("/alias/s.kvd/a.lua"), "old");
  ASSERT_TRUE(put("/s.kvd/b.lua", "pending"));  // a write-back due later
  cart_release_file("/s.kvd");
  EXPECT_EQ(mounts_at("/s.kvd") + mounts_at("/alias/s.kvd"), 0);
  EXPECT_NE(read_host("s.kvd").find(":: b.lua\npending\n"), std::string::npos);
  write_host("s.kvd", text_cart(":: a.lua\nnew\n"));
  EXPECT_EQ(get("/alias/s.kvd/a.lua"), "new");
  fake_now += 5000;
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("s.kvd"), text_cart(":: a.lua\nnew\n"));
  // copy as a whole file, then delete: the copy holds the cartridge
  EXPECT_EQ(fcopy("/s.kvd", "/moved.kvd"), int64_t(text_cart(":: a.lua\nnew\n").size()));
  delete_path("/alias/s.kvd");
  EXPECT_EQ(read_host("s.kvd"), "<none>");
  EXPECT_EQ(get("/moved.kvd/a.lua"), "new");
}

TEST_F(CartMount, ExitWritesBackWhileHeldAndNamesWhatFailed) {
  ASSERT_EQ(pmkdir("/h.kvd"), 0);
  ASSERT_TRUE(put("/h.kvd/a.lua", "a"));
  ASSERT_EQ(pmkdir("/d"), 0);
  ASSERT_EQ(pmkdir("/d/f.kvd"), 0);
  ASSERT_TRUE(put("/d/f.kvd/a.lua", "a"));
  std::filesystem::remove_all(host_path("d"));
  app.exclusive_process = 5;
  testing::internal::CaptureStderr();
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/d/f.kvd"), std::string::npos) << err;
  EXPECT_NE(read_host("h.kvd").find(":: a.lua\na\n"), std::string::npos);
}

TEST_F(CartMount, MountsIntoACartridgeNeitherDropNorHideItsChanges) {
  write_host("n.kvd", text_cart(":: a.lua\n1\n"));
  ASSERT_EQ(pmkdir("/n.kvd/sub"), 0);
  ASSERT_TRUE(put("/n.kvd/sub/b.lua", "2"));
  flush_dirty_mounts_immediately();
  // fifty names of the cartridge's folder, one of its subfolder
  for (int k = 0; k < 50; k++) {
    std::string name = "/n" + std::to_string(k);
    ASSERT_NE(mount_p_path(name.c_str(), "/n.kvd"), nullptr) << k;
  }
  ASSERT_NE(mount_p_path("/s", "/n.kvd/sub"), nullptr);
  // deleting one name, or the subfolder's name, removes only that name
  EXPECT_EQ(delete_path("/n7"), 0);
  EXPECT_EQ(delete_path("/s"), 0);
  EXPECT_EQ(mounts_at("/n7") + mounts_at("/s") + mounts_at("/n.kvd"), 1);
  EXPECT_EQ(get("/n.kvd/a.lua"), "1");
  EXPECT_EQ(get("/n8/sub/b.lua"), "2");
  // a change in the subfolder, through any of its names, reaches the file
  ASSERT_NE(mount_p_path("/s", "/n.kvd/sub"), nullptr);
  ASSERT_TRUE(put("/n.kvd/sub/c.lua", "3"));
  ASSERT_TRUE(put("/s/d.lua", "4"));
  ASSERT_TRUE(put("/n9/sub/e.lua", "5"));
  flush_dirty_mounts_immediately();
  std::string saved = read_host("n.kvd");
  for (const char *file : {"a.lua", "b.lua", "c.lua", "d.lua", "e.lua"})
    EXPECT_NE(saved.find(file), std::string::npos) << file << "\n" << saved;
}

}  // namespace

namespace {

// Cartridges that unpack to far more than their files, under a bound that
// holds `fit` of them and a half.
class CartBound : public CartMount {
 protected:
  static constexpr int COPIES = 8;
  std::string big;  // 3 MiB that each cartridge unpacks to
  int64_t one = 0;  // what one unpacked copy holds
  int64_t bound = 0;
  uint64_t baseline = 0;  // buffers held before any copy is mounted
  void SetUp() override {
    CartMount::SetUp();
    big.resize(size_t(3) << 20);
    for (size_t i = 0; i < big.size(); i++) big[i] = char(i % 251);
    std::string rom = rom_cart({{"big.bin", big}});
    ASSERT_LT(rom.size(), big.size() / 50);
    delete_path("/ram/romsrc0");
    for (int k = 0; k < COPIES; k++) write_host(name(k), rom);
    baseline = get_total_buffer_allocation();
    ASSERT_TRUE(get(path(0).c_str()) == big);
    one = cart_unpacked_bytes();
    ASSERT_GE(one, int64_t(big.size()));
    delete_mount_point(("/" + name(0)).c_str());
    ASSERT_EQ(cart_unpacked_bytes(), 0);
    fit(2);
  }
  void fit(int n) { cart_unpacked_bound = bound = one * n + one / 2; }
  static std::string name(int k) { return "c" + std::to_string(k) + ".kvd.rom"; }
  static std::string path(int k, const char *file = "big.bin") {
    return "/" + name(k) + "/" + file;
  }
  bool mounted(int k) { return mounts_at(("/" + name(k)).c_str()) == 1; }
  // What the buffers hold, loosely: the bound, one copy being unpacked, and
  // the copy a read hands back.
  void expect_buffers_bounded() {
    EXPECT_LE(cart_unpacked_bytes(), bound);
    EXPECT_LT(get_total_buffer_allocation(), baseline + uint64_t(bound + 2 * one));
  }
  // Reads every copy, checking its bytes and the bound after each mount.
  void read_every_copy() {
    for (int k = 0; k < COPIES; k++) {
      SCOPED_TRACE(k);
      ASSERT_TRUE(get(path(k).c_str()) == big);
      expect_buffers_bounded();
    }
  }
};

TEST_F(CartBound, CleanCartridgesMakeRoomLeastRecentlyUsedFirst) {
  read_every_copy();
  // two fit: the two most recent stay
  EXPECT_TRUE(mounted(COPIES - 1) && mounted(COPIES - 2));
  EXPECT_FALSE(mounted(0));
  // a use keeps a cartridge: c6 is used again before c0 is mounted
  ASSERT_TRUE(get(path(COPIES - 2).c_str()) == big);
  ASSERT_TRUE(get(path(0).c_str()) == big);
  EXPECT_TRUE(mounted(COPIES - 2) && mounted(0));
  EXPECT_FALSE(mounted(COPIES - 1));
  // many names of one cartridge share its copy; the bound holds for all
  for (int k = 0; k < 6; k++) {
    std::string alias = "/alias" + std::to_string(k);
    ASSERT_NE(mount_p_path(alias.c_str(), "/"), nullptr);
    ASSERT_TRUE(get((alias + path(k % 2)).c_str()) == big);
    expect_buffers_bounded();
  }
  EXPECT_TRUE(mounted(0));
  EXPECT_EQ(mounts_at("/alias1/c1.kvd.rom") + mounts_at("/alias5/c1.kvd.rom"), 2);
  read_every_copy();
  EXPECT_LT(read_host(name(0)).size(), big.size() / 50);  // files untouched
}

TEST_F(CartBound, ChangedOpenOrDependedOnCartridgesStay) {
  fit(3);
  // an unsaved change, a mount into a cartridge's folder, an open file
  ASSERT_TRUE(put(path(0, "new.txt").c_str(), "changed"));
  ASSERT_NE(mount_p_path("/into", ("/" + name(1)).c_str()), nullptr);
  pfile_entry *open = pfopen(path(2).c_str(), "r");
  ASSERT_NE(open, nullptr);
  // nothing fits beside them: each further mount is refused, its file unread
  for (int k = 3; k < COPIES; k++) {
    EXPECT_EQ(get(path(k).c_str()), "<none>") << k;
    EXPECT_NE(delete_path(path(k).c_str()), 0) << k;  // a delete there is not done
    EXPECT_FALSE(mounted(k)) << k;
    expect_buffers_bounded();
  }
  EXPECT_TRUE(buffer_text(open->data) == big);
  pfclose(open);
  for (int k = 0; k < 3; k++) EXPECT_TRUE(mounted(k)) << k;
  EXPECT_TRUE(get("/into/big.bin") == big);
  // closed and written back, they make room again; the change was saved
  fake_now += 1000;
  flush_dirty_mounts_delayed();
  read_every_copy();
  EXPECT_TRUE(mounted(1));
  EXPECT_EQ(get(path(0, "new.txt").c_str()), "changed");
}

TEST_F(CartBound, ACartridgeInsideAnotherKeepsTheOuterOne) {
  fit(3);
  std::string inner = read_host(name(0));
  write_host("outer.kvd.rom", rom_cart({{"inner.kvd.rom", inner}}));
  ASSERT_TRUE(get("/outer.kvd.rom/inner.kvd.rom/big.bin") == big);
  ASSERT_TRUE(put("/outer.kvd.rom/inner.kvd.rom/n.txt", "n"));
  // inner is written into outer, then outer to its file: both are clean
  for (int round = 0; round < 2; round++) {
    fake_now += 1000;
    flush_dirty_mounts_delayed();
  }
  EXPECT_EQ(mounts_at("/outer.kvd.rom"), 1);
  for (int k = 1; k < COPIES; k++) ASSERT_TRUE(get(path(k).c_str()) == big);
  expect_buffers_bounded();
  EXPECT_EQ(mounts_at("/outer.kvd.rom/inner.kvd.rom"), 0);
  EXPECT_EQ(mounts_at("/outer.kvd.rom"), 0);
  EXPECT_EQ(get("/outer.kvd.rom/inner.kvd.rom/n.txt"), "n");
}

TEST_F(CartMount, ANewCartridgeIsSharedByItsOtherPointsBeforeItIsWritten) {
  ASSERT_EQ(pmkdir("/n.kvd"), 0);
  ASSERT_NE(mount_p_path("/alias", "/"), nullptr);
  ASSERT_TRUE(put("/alias/n.kvd/b.txt", "b"));
  ASSERT_TRUE(put("/n.kvd/a.txt", "a"));
  EXPECT_EQ(get("/n.kvd/b.txt"), "b");
  EXPECT_EQ(get("/alias/n.kvd/a.txt"), "a");
  flush_dirty_mounts_immediately();
  std::string saved = read_host("n.kvd");
  EXPECT_NE(saved.find(":: a.txt\na\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find(":: b.txt\nb\n"), std::string::npos) << saved;
  // a cartridge name that is neither mounted nor a file mounts nothing
  EXPECT_FALSE(put("/alias/none.kvd/c.txt", "c"));
  EXPECT_EQ(mounts_at("/alias/none.kvd"), 0);
}

TEST_F(CartMount, AMountIntoACartridgeDoesNotClearItsUnsavedChanges) {
  write_host("u.kvd", text_cart(":: a.lua\n1\n"));
  ASSERT_NE(mount_p_path("/u", "/u.kvd"), nullptr);
  ASSERT_TRUE(put("/u/b.lua", "2"));
  flush_dirty_mounts_immediately();
  EXPECT_NE(read_host("u.kvd").find(":: b.lua\n2\n"), std::string::npos);
}

}  // namespace

namespace {

// A cartridge that could not be mounted for room, inside one that was: no
// change through it lands in the outer one under the inner one's name.
TEST_F(CartBound, ChangesThroughACartridgeRefusedForRoomFail) {
  cart_unpacked_bound = one / 2;
  std::string inner = read_host(name(0));
  write_host("outer.kvd.rom", rom_cart({{"inner.kvd.rom", inner}, {"a.txt", "a"}}));
  std::string before = read_host("outer.kvd.rom");
  ASSERT_EQ(get("/outer.kvd.rom/a.txt"), "a");
  EXPECT_EQ(get("/outer.kvd.rom/inner.kvd.rom/big.bin"), "<none>");
  EXPECT_EQ(mounts_at("/outer.kvd.rom/inner.kvd.rom"), 0);
  EXPECT_FALSE(put("/outer.kvd.rom/inner.kvd.rom/x.txt", "x"));
  EXPECT_NE(pmkdir("/outer.kvd.rom/inner.kvd.rom/sub"), 0);
  EXPECT_NE(pmkdir("/outer.kvd.rom/inner.kvd.rom/new.kvd"), 0);
  EXPECT_NE(delete_path("/outer.kvd.rom/inner.kvd.rom/big.bin"), 0);
  fake_now += 5000;
  flush_dirty_mounts_delayed();
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("outer.kvd.rom"), before);
  std::string folder = to_cstr(get_mount_by_mount_point("/outer.kvd.rom", 0)->origin);
  EXPECT_EQ(get_index_by_name((folder + "/inner.kvd.rom/x.txt").c_str()), -1);
  // a folder named like a cartridge is an ordinary folder
  ASSERT_EQ(pmkdir("/outer.kvd.rom/plain.kvd"), 0);
  EXPECT_EQ(mounts_at("/outer.kvd.rom/plain.kvd"), 1);
}

// The folder a program's mount moved away from keeps its cartridge: the
// change goes into the file it was read from, not into the same name under
// the new folder.
TEST_F(CartMount, WriteBackFollowsTheFileNotItsMountPoint) {
  ASSERT_EQ(pmkdir("/a"), 0);
  ASSERT_EQ(pmkdir("/b"), 0);
  write_host("a/c.kvd", text_cart(":: x.lua\n1\n"));
  write_host("b/c.kvd", text_cart(":: other.lua\n9\n"));
  ASSERT_NE(mount_p_path("/work", "/a"), nullptr);
  ASSERT_TRUE(put("/work/c.kvd/y.lua", "2"));
  // moved while the system is held, so that the change waits
  app.exclusive_process = 5;
  EXPECT_EQ(delete_path("/work"), 0);
  ASSERT_NE(mount_p_path("/work", "/b"), nullptr);
  app.exclusive_process = 0;
  fake_now += 1000;
  flush_dirty_mounts_delayed();
  EXPECT_NE(read_host("a/c.kvd").find(":: y.lua\n2\n"), std::string::npos) << read_host("a/c.kvd");
  EXPECT_EQ(read_host("b/c.kvd"), text_cart(":: other.lua\n9\n"));
  // moved again: the cartridges mounted through the old point go with it,
  // and the name shows the new folder's cartridge
  EXPECT_EQ(delete_path("/work"), 0);
  ASSERT_NE(mount_p_path("/work", "/b"), nullptr);
  EXPECT_EQ(get("/work/c.kvd/other.lua"), "9");
  EXPECT_EQ(get("/work/c.kvd/y.lua"), "<none>");
  EXPECT_EQ(get("/a/c.kvd/y.lua"), "2");
  // a plain mount named like a cartridge writes no cartridge
  ASSERT_EQ(pmkdir("/ram/plain"), 0);
  ASSERT_NE(mount_p_path("/fake.kvd", "/ram/plain"), nullptr);
  ASSERT_TRUE(put("/fake.kvd/z.lua", "3"));
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("fake.kvd"), "<none>");
  EXPECT_EQ(get("/ram/plain/z.lua"), "3");
}

TEST_F(CartMount, ReplacingACartridgeFirstSavesTheOnesInsideIt) {
  std::string inner = rom_cart({{"a.txt", "1"}});
  write_host("o.kvd.rom", rom_cart({{"i.kvd.rom", inner}}));
  ASSERT_EQ(get("/o.kvd.rom/i.kvd.rom/a.txt"), "1");
  ASSERT_TRUE(put("/o.kvd.rom/i.kvd.rom/n.txt", "new"));  // inner dirty, outer clean
  cart_release_file("/o.kvd.rom");
  EXPECT_EQ(mounts_at("/o.kvd.rom") + mounts_at("/o.kvd.rom/i.kvd.rom"), 0);
  // the change went into the old file first
  EXPECT_EQ(get("/o.kvd.rom/i.kvd.rom/n.txt"), "new");
  cart_release_file("/o.kvd.rom");
  std::string fresh = rom_cart({{"f.txt", "f"}});
  write_host("o.kvd.rom", fresh);
  for (int round = 0; round < 3; round++) {
    fake_now += 5000;
    flush_dirty_mounts_delayed();
  }
  EXPECT_EQ(read_host("o.kvd.rom"), fresh);
  EXPECT_EQ(get("/o.kvd.rom/f.txt"), "f");
  // deleting the file inside drops its mount: nothing writes it back
  EXPECT_FALSE(put("/o.kvd.rom/i2.kvd.rom/a.txt", "x"));  // no such cartridge
  ASSERT_EQ(pmkdir("/o.kvd.rom/d"), 0);
  ASSERT_EQ(pmkdir("/o.kvd.rom/d/i3.kvd"), 0);
  ASSERT_TRUE(put("/o.kvd.rom/d/i3.kvd/a.txt", "x"));
  EXPECT_EQ(delete_path("/o.kvd.rom/d"), 0);
  EXPECT_EQ(mounts_at("/o.kvd.rom/d/i3.kvd"), 0);
  flush_dirty_mounts_immediately();
  flush_dirty_mounts_immediately();
  EXPECT_EQ(get("/o.kvd.rom/d/i3.kvd/a.txt"), "<none>");
}

TEST_F(CartMount, ACartridgeInsideAReadOnlyOneTakesNoChange) {
  ASSERT_EQ(pmkdir("/o.kvd"), 0);
  ASSERT_TRUE(put("/o.kvd/i.kvd.rom", rom_cart({{"a.txt", "1"}})));
  flush_dirty_mounts_immediately();
  // a name the reader does not keep makes the outer one read-only
  std::string text = read_host("o.kvd");
  text.insert(text.find(":: [eoc]"), ":: my notes.txt\nm\n");
  ASSERT_EQ(delete_mount_point("/o.kvd"), 1);
  write_host("o.kvd", text);
  ASSERT_EQ(get("/o.kvd/i.kvd.rom/a.txt"), "1");
  EXPECT_FALSE(put("/o.kvd/i.kvd.rom/b.txt", "x"));
  EXPECT_NE(pmkdir("/o.kvd/i.kvd.rom/sub"), 0);
  EXPECT_NE(delete_path("/o.kvd/i.kvd.rom/a.txt"), 0);
  EXPECT_NE(pmkdir("/o.kvd/new.kvd"), 0);  // a new cartridge inside neither
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
  EXPECT_EQ(read_host("o.kvd"), text);
  EXPECT_EQ(get("/o.kvd/i.kvd.rom/a.txt"), "1");
}

TEST_F(CartMount, AProgramsMountIntoACartridgeOutlivesTheFlushSignal) {
  write_host("c.kvd", text_cart(":: sub/\n:: sub/a.lua\n1\n:: sub/b.lua\n2\n"));
  ASSERT_NE(mount_p_path("/p", "/c.kvd/sub"), nullptr);
  ASSERT_EQ(get("/p/a.lua"), "1");
  delete_clean_ram_mounts();
  EXPECT_EQ(mounts_at("/p") + mounts_at("/c.kvd"), 2);
  EXPECT_EQ(delete_path("/p/a.lua"), 0);
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("c.kvd").find("a.lua"), std::string::npos) << read_host("c.kvd");
  // once the cartridge is replaced, the mount into its old folder takes
  // nothing: it would never be saved
  cart_release_file("/c.kvd");
  EXPECT_FALSE(put("/p/new.lua", "x"));
  EXPECT_NE(pmkdir("/p/d"), 0);
  EXPECT_NE(delete_path("/p/b.lua"), 0);
  EXPECT_EQ(get("/c.kvd/sub/b.lua"), "2");
}

TEST_F(CartMount, ANewCartridgeFolderStartsEmpty) {
  // nothing outside a mounted cartridge is written under its folders
  std::string next = "/ram/mount/m" + std::to_string(mount_index);
  EXPECT_FALSE(put((next + "/planted.txt").c_str(), "p"));
  EXPECT_NE(pmkdir(next.c_str()), 0);
  // left there anyway, it is gone when the folder is taken
  pbuffer *name = create_buffer_from_str((next + "/planted.txt").c_str());
  pfile_entry *f = pfile_insert(name, PFILE_RAM, name);
  f->data = create_buffer_2(0, 'd');
  ASSERT_EQ(pmkdir("/n.kvd"), 0);
  EXPECT_EQ(std::string(to_cstr(get_mount_by_mount_point("/n.kvd", 0)->origin)), next);
  EXPECT_EQ(get("/n.kvd/planted.txt"), "<none>");
  flush_dirty_mounts_immediately();
  EXPECT_EQ(read_host("n.kvd").find("planted"), std::string::npos);
}

TEST_F(CartMount, ACartridgeThatCouldNotBeSavedRefusesWritesUntilItIs) {
  ASSERT_EQ(pmkdir("/d"), 0);
  ASSERT_EQ(pmkdir("/d/f.kvd"), 0);
  ASSERT_TRUE(put("/d/f.kvd/a.lua", "a"));
  std::filesystem::remove_all(host_path("d"));
  flush_dirty_mounts_immediately();
  EXPECT_FALSE(put("/d/f.kvd/b.lua", "b"));
  EXPECT_NE(pmkdir("/d/f.kvd/sub"), 0);
  EXPECT_EQ(delete_path("/d/f.kvd/a.lua"), 0);  // a deletion makes it smaller
  std::filesystem::create_directory(host_path("d"));
  fake_now += CART_RETRY_DELAY_MS;
  EXPECT_EQ(flush_dirty_mounts_ex(1), 1);
  EXPECT_TRUE(put("/d/f.kvd/b.lua", "b"));
}

TEST_F(CartMount, ARebootKeepsCartridgesItCouldNotSave) {
  ASSERT_EQ(pmkdir("/ok.kvd"), 0);
  ASSERT_TRUE(put("/ok.kvd/a.lua", "a"));
  ASSERT_EQ(pmkdir("/d"), 0);
  ASSERT_EQ(pmkdir("/d/f.kvd"), 0);
  ASSERT_TRUE(put("/d/f.kvd/a.lua", "kept"));
  ASSERT_EQ(pmkdir("/d/f.kvd/sub"), 0);
  std::filesystem::remove_all(host_path("d"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(cart_hold_unsaved(), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/d/f.kvd"), std::string::npos) << err;
  EXPECT_EQ(err.find("/ok.kvd"), std::string::npos) << err;
  EXPECT_NE(read_host("ok.kvd").find(":: a.lua\na\n"), std::string::npos);
  reset_subsystems();
  ASSERT_EQ(mount_host_path("/", host.c_str()), 0);
  ASSERT_EQ(mount_ram_folder("/ram"), 0);
  cart_restore_unsaved();
  EXPECT_EQ(mounts_at("/ok.kvd"), 0);
  EXPECT_EQ(get("/d/f.kvd/a.lua"), "kept");
  EXPECT_TRUE(pdisk_directory_exists("/d/f.kvd/sub", true));
  std::filesystem::create_directory(host_path("d"));
  fake_now += CART_RETRY_DELAY_MS;
  flush_dirty_mounts_delayed();
  std::string saved = read_host("d/f.kvd");
  EXPECT_NE(saved.find(":: sub/\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find(":: a.lua\nkept\n"), std::string::npos) << saved;
  // a new cartridge takes a folder of its own
  ASSERT_EQ(pmkdir("/n.kvd"), 0);
  EXPECT_NE(std::string(to_cstr(get_mount_by_mount_point("/n.kvd", 0)->origin)),
            std::string(to_cstr(get_mount_by_mount_point("/d/f.kvd", 0)->origin)));
}

TEST_F(CartMount, ACartridgeReadWholeOrDroppedWhileHeldKeepsItsChanges) {
  write_host("c.kvd", text_cart(":: a.lua\n1\n"));
  ASSERT_EQ(get("/c.kvd/a.lua"), "1");
  // while a process holds the system, a copy still takes the change, and
  // an unmount saves it rather than dropping it
  app.exclusive_process = 5;
  ASSERT_TRUE(put("/c.kvd/b.lua", "new"));
  EXPECT_GT(fcopy("/c.kvd", "/d.kvd", nullptr), 0);
  EXPECT_EQ(get("/d.kvd/b.lua"), "new");
  EXPECT_EQ(delete_mount_point("/c.kvd"), 1);
  app.exclusive_process = 0;
  flush_dirty_mounts_immediately();
  EXPECT_NE(read_host("c.kvd").find("b.lua"), std::string::npos) << read_host("c.kvd");
}

TEST_F(CartMount, ThreeDeepCartridgesSaveInnerChangesOutwardThroughMovesAndCopies) {
  ASSERT_EQ(pmkdir("/a.kvd"), 0);
  ASSERT_EQ(pmkdir("/a.kvd/b.kvd"), 0);
  ASSERT_EQ(pmkdir("/a.kvd/b.kvd/c.kvd"), 0);
  ASSERT_TRUE(put("/a.kvd/b.kvd/c.kvd/x.lua", "deep"));
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
  for (int i = 0; i < pmounts; i++)
    EXPECT_EQ(pmount[i].dirty, 0u) << to_cstr(pmount[i].mount_point);
  ASSERT_EQ(delete_mount_point("/a.kvd/b.kvd/c.kvd"), 1);
  ASSERT_EQ(delete_mount_point("/a.kvd/b.kvd"), 1);
  ASSERT_EQ(delete_mount_point("/a.kvd"), 1);
  EXPECT_EQ(get("/a.kvd/b.kvd/c.kvd/x.lua"), "deep");
  // moved whole while the inner one is dirty
  ASSERT_TRUE(put("/a.kvd/b.kvd/c.kvd/y.lua", "y"));
  EXPECT_GT(fcopy("/a.kvd", "/m.kvd", nullptr), 0);
  EXPECT_EQ(delete_path("/a.kvd"), 0);
  EXPECT_EQ(get("/m.kvd/b.kvd/c.kvd/y.lua"), "y");
  // renamed mid-path: the inner cartridge inside one replaced
  ASSERT_TRUE(put("/m.kvd/b.kvd/c.kvd/z.lua", "z"));
  EXPECT_GT(fcopy("/m.kvd/b.kvd", "/m.kvd/b2.kvd", nullptr), 0);
  EXPECT_EQ(get("/m.kvd/b2.kvd/c.kvd/z.lua"), "z");
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
}

TEST_F(CartMount, AReplacementThatFailsOnAFullDiskKeepsUnsavedChanges) {
  write_host("c.kvd", text_cart(":: a.lua\n1\n"));
  write_host("o.kvd", text_cart(":: big.lua\n" + std::string(20000, 'o') + "\n"));
  ASSERT_EQ(get("/c.kvd/a.lua"), "1");
  ASSERT_TRUE(put("/c.kvd/b.lua", std::string(20000, 'b')));
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  // the change cannot be saved, nor the copy made: both fail
  int64_t copied = fcopy("/o.kvd", "/c.kvd", nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(copied, -1);
  EXPECT_EQ(get("/c.kvd/b.lua").size(), 20000u);
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
  EXPECT_NE(read_host("c.kvd").find("b.lua"), std::string::npos);
}

}  // namespace
