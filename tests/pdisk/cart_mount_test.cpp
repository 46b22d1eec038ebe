// Cartridge mounting and write-back, timed by an injected clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "machine/app.h"
#include "kernel/frame.h"
#include "pdisk/cart_mount.h"
#include "base/clock.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"
#include "pdisk_fixture.h"

namespace {

uint64_t fake_now;
uint64_t fake_clock() { return fake_now; }

class CartMount : public PdiskTest {
 protected:
  void SetUp() override {
    PdiskTest::SetUp();
    fake_now = 10000;
    pdisk_test_clock = fake_clock;
    app.exclusive_process = 0;
    prune_slots_threshold = 4096;
  }
  void TearDown() override {
    pdisk_test_clock = nullptr;
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
    if (c.readable) EXPECT_EQ(get((dir + "/" + c.readable).c_str()), "hi");
    EXPECT_FALSE(put((dir + "/new.txt").c_str(), "x"));
    delete_path((dir + "/no_such_file.txt").c_str());
    if (c.readable) delete_path((dir + "/" + c.readable).c_str());
    EXPECT_NE(pmkdir((dir + "/sub").c_str()), 0);
    fake_now += 5000;
    flush_dirty_mounts_delayed();
    flush_dirty_mounts_immediately();
    EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
    EXPECT_EQ(read_host(c.file), c.bytes);
    if (c.readable) EXPECT_EQ(get((dir + "/" + c.readable).c_str()), "hi");
  }
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

}  // namespace
