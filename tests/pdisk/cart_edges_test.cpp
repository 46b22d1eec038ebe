// Cartridges and host files at their edges: odd cartridge files that cannot
// be kept as they stand, folders taken for files, folders made inside a
// cartridge, temporary names, and the order of a write and its history.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lz4.h>

#include "base/clock.h"
#include "machine/app.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/hooks.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/png_cart.h"
#include "pdisk/rom.h"
#include "pdisk_fixture.h"

namespace {

uint64_t fake_now;
uint64_t fake_clock() { return fake_now; }

class CartEdges : public PdiskTest {
 protected:
  void SetUp() override {
    PdiskTest::SetUp();
    fake_now = 10000;
    clock_test_source = fake_clock;
    app.exclusive_process = 0;
  }
  void TearDown() override {
    clock_test_source = nullptr;
    PdiskTest::TearDown();
  }
  // A text cartridge; the legacy form has no empty line after its header.
  static std::string text_cart(const std::string &entries, int version = 2) {
    if (version == 1) return "kavelund cartridge // x\nversion 1\n" + entries;
    return "kavelund cartridge // x\nversion 2\n\n" + entries + ":: [eoc]\n";
  }
  int mounts_of(const char *point) {
    int n = 0;
    for (int i = 0; i < pmounts; i++) n += std::string(to_cstr(pmount[i].mount_point)) == point;
    return n;
  }
  // The ROM form of a raw payload (entries as the writer lays them out).
  static std::string rom_of_payload(const std::string &payload) {
    std::string out(8 + payload.size() * 2 + 64, '\0');
    int n = LZ4_compress_default(payload.data(), out.data() + 8, int(payload.size()),
                                 int(out.size()) - 8);
    out.resize(size_t(8 + n));
    memcpy(out.data(), "kvd\2", 4);
    for (int i = 0; i < 4; i++) out[size_t(4 + i)] = char(uint32_t(n) >> (8 * i));
    return out;
  }
  static std::string rom_file(const std::string &name, const std::string &bytes) {
    return name + std::string(1, '\0') + char(bytes.size()) + bytes;
  }
  // Unpacks bytes as a cartridge of the kind of `file` and writes them
  // back: true when the mount took a change.
  bool takes_change(const char *file, const std::string &bytes) {
    write_host(file, bytes);
    std::string dir = std::string("/") + file;
    return put((dir + "/new.txt").c_str(), "x");
  }
};

}  // namespace

namespace {

TEST_F(CartEdges, CartridgesNotKeptByteForByteAreReadOnly) {
  const std::string b64 = ":: d.bin\nb64$AAEC\n";  // bytes 0 1 2
  struct {
    const char *file;
    std::string bytes;
  } odd[] = {
      {"v1blank.kvd", text_cart("a.lua 1:0 [xx61]\n\nb.lua 1:0 [xx62]\n", 1)},
      {"v1dup.kvd", text_cart("a.lua 1:0 [xx61]\na.lua 1:0 [xx62]\n", 1)},
      {"v1hex.kvd", text_cart("a.lua 1:0 [xx6g]\n", 1)},
      {"dup.kvd", text_cart(":: a.lua\n1\n:: a.lua\n2\n")},
      {"dupdir.kvd", text_cart(":: s/\n:: s/\n")},
      {"before.kvd", "kavelund cartridge // x\nversion 2\nnotes\n:: a.lua\n1\n:: [eoc]\n"},
      {"afterdir.kvd", text_cart(":: s/\nstray\n:: a.lua\n1\n")},
      {"after.kvd", text_cart(":: a.lua\n1\n") + "more\n"},
      {"b64char.kvd", text_cart(":: d.bin\nb64$AA*C\n")},
      {"b64len.kvd", text_cart(":: d.bin\nb64$AAE\n")},
      {"b64pad.kvd", text_cart(":: d.bin\nb64$AA==\nAAAA\n")},
      {"hexbad.kvd", text_cart(":: d.bin\nhex$0g\n")},
      {"hexodd.kvd", text_cart(":: d.bin\nhex$001\n")},
      {"slashes.kvd", text_cart(":: a//b.lua\n1\n")},
      {"dot.kvd", text_cart(":: ./a.lua\n1\n")},
      {"lead.kvd", text_cart(":: /a.lua\n1\n")},
      {"dirdot.kvd", text_cart(":: s/./\n")},
      {"tail.kvd.rom", rom_of_payload(rom_file("a.lua", "1")) + "x"},
      {"dup.kvd.rom", rom_of_payload(rom_file("a.lua", "1") + rom_file("a.lua", "2"))},
      {"slashes.kvd.rom", rom_of_payload(rom_file("a//b.lua", "1"))},
      {"dot.kvd.rom", rom_of_payload(rom_file("./a.lua", "1"))},
  };
  for (auto &c : odd) {
    SCOPED_TRACE(c.file);
    EXPECT_FALSE(takes_change(c.file, c.bytes));
    EXPECT_NE(pmkdir((std::string("/") + c.file + "/sub").c_str()), 0);
    flush_dirty_mounts_immediately();
    EXPECT_EQ(read_host(c.file), c.bytes);
  }
  // what the writers make, and the legacy form, stay writable
  const std::pair<const char *, std::string> whole[] = {
      {"v1.kvd", text_cart("## note\ns 0:1\na.lua 1:0 [xx61]\n\n\n", 1)},
      {"forms.kvd", text_cart(":: s/\n:: s/t.lua\nx\n" + b64 +
                              ":: e.bin\nb64$\n:: h.bin\nhex$00ff\n:: p.bin\n" + "b64$AA==\n") +
                        "\n"},
      {"ok.kvd.rom", rom_of_payload(std::string("s/") + '\0' + rom_file("s/a.lua", "1"))},
  };
  for (auto &[file, bytes] : whole) {
    SCOPED_TRACE(file);
    EXPECT_TRUE(takes_change(file, bytes));
    flush_dirty_mounts_immediately();
    EXPECT_NE(read_host(file), bytes);
    EXPECT_EQ(get((std::string("/") + file + "/new.txt").c_str()), "x");
  }
  EXPECT_EQ(get("/forms.kvd/d.bin"), std::string("\0\1\2", 3));
  EXPECT_EQ(get("/forms.kvd/p.bin"), std::string(1, '\0'));
}

TEST_F(CartEdges, ALabelOfAnotherSizeIsNotTakenForOne) {
  ASSERT_EQ(pmkdir("/ram/l"), 0);
  EXPECT_TRUE(png_cart_label_fits("/ram/l"));  // no label at all
  ASSERT_TRUE(put("/ram/l/label.qoi", "not a picture"));
  EXPECT_FALSE(png_cart_label_fits("/ram/l"));
}

TEST_F(CartEdges, AFolderIsNeverReadAsAFile) {
  ASSERT_EQ(pmkdir("/dir"), 0);
  std::filesystem::create_directory(host_path("dir.kvd.png"));  // a cartridge's name
  write_host("f.txt", "kept");
  EXPECT_EQ(pfopen("/dir", "r"), nullptr);
  EXPECT_EQ(pfopen("/dir", "rm"), nullptr);
  EXPECT_EQ(pfopen("/dir.kvd.png", "rf"), nullptr);
  bool found = true;
  fcopy("/dir", "/f.txt", &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(read_host("f.txt"), "kept");
  // still a folder to the tests that ask for one
  EXPECT_TRUE(pdisk_file_exists("/dir"));
  EXPECT_TRUE(pdisk_directory_exists("/dir", true));
}

TEST_F(CartEdges, AnEmptyFolderMadeInACartridgeIsSaved) {
  for (const char *cart : {"/e.kvd", "/e.kvd.rom"}) {
    SCOPED_TRACE(cart);
    std::string c = cart;
    ASSERT_EQ(pmkdir(cart), 0);
    flush_dirty_mounts_immediately();
    ASSERT_EQ(pmkdir((c + "/empty").c_str()), 0);
    fake_now += 1000;
    flush_dirty_mounts_delayed();
    delete_clean_ram_mounts();
    ASSERT_EQ(mounts_of(cart), 0);
    EXPECT_TRUE(pdisk_directory_exists((c + "/empty").c_str(), true));
  }
}

TEST_F(CartEdges, OnlyOurOwnTemporaryNamesAreRemoved) {
  const long dead = 4194305;  // above any process id the host gives
  const std::string ours[] = {".a.txt~kvdtmp~" + std::to_string(dead) + "~0",
                              ".n~kvdtmp~" + std::to_string(dead) + "~17"};
  const std::string persons[] = {".plan.kvdtmp." + std::to_string(dead) + ".7",
                                 ".x~kvdtmp~" + std::to_string(dead) + "~",
                                 "a~kvdtmp~" + std::to_string(dead) + "~0", ".b~kvdtmp~0~0"};
  for (auto &n : ours) write_host(n, "x");
  for (auto &n : persons) write_host(n, "x");
  EXPECT_EQ(host_remove_stale_temp_files(host.c_str()), 2);
  for (auto &n : ours) EXPECT_EQ(read_host(n), "<none>") << n;
  for (auto &n : persons) EXPECT_EQ(read_host(n), "x") << n;
}

// The history takes a version from the finished temporary file, before it
// replaces the file: a kill between the two leaves the version recorded.
struct recorded {
  int kind;
  std::string path, bytes, target_then;
};
std::vector<recorded> records;
std::string record_target;
void (*replace_in_hook)();

void record_event(int kind, const char *path, const char *second) {
  auto read = [](const std::string &p) {
    std::string out;
    if (FILE *f = fopen(p.c_str(), "rb")) {
      char buf[256];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
      fclose(f);
    } else {
      out = "<none>";
    }
    return out;
  };
  records.push_back({kind, path, second ? read(second) : "", read(record_target)});
  if (replace_in_hook) replace_in_hook();
}

TEST_F(CartEdges, HistoryIsRecordedBeforeTheFileIsReplaced) {
  pdisk_hooks saved = pdisk_hook;
  pdisk_hook.history_event = record_event;
  records.clear();
  record_target = host_path("v.txt");
  write_host("v.txt", "old");
  ASSERT_TRUE(put("/v.txt", "new"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, ANYWHEN_WRITE);
  EXPECT_EQ(records[0].bytes, "new");
  EXPECT_EQ(records[0].target_then, "old");
  EXPECT_EQ(read_host("v.txt"), "new");
  // a replacement that fails is recorded as what the path holds then
  static std::string folder;
  folder = host_path("w.txt");
  replace_in_hook = [] { std::filesystem::create_directories(folder + "/in"); };
  records.clear();
  record_target = folder;
  EXPECT_FALSE(put("/w.txt", "lost"));
  replace_in_hook = nullptr;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].bytes, "lost");
  EXPECT_EQ(records[1].kind, ANYWHEN_DELETE);
  pdisk_hook = saved;
}

}  // namespace

namespace {

// Resolution is one pass over a path, and a path is at most PDISK_MAX_PATH
// characters: a path of megabytes is refused at once, not walked for
// seconds prefix by prefix.
TEST_F(CartEdges, PathsAreBoundedAndResolvedInOnePass) {
  std::string seg(254, 's');
  std::string huge;
  while (huge.size() < (3200u << 10)) huge += "/" + seg;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pfopen(huge.c_str(), "r"), nullptr);
  EXPECT_EQ(pfopen((huge + "/x.kvd/main.lua").c_str(), "w"), nullptr);
  EXPECT_NE(pmkdir(huge.c_str()), 0);
  // the largest path taken, through as many cartridge names as fit
  std::string longest = "/ram";
  while (longest.size() + 6 <= size_t(PDISK_MAX_PATH)) longest += "/c.kvd";
  longest.resize(size_t(PDISK_MAX_PATH), 'x');
  EXPECT_EQ(pfopen(longest.c_str(), "r"), nullptr);  // no cartridge file on the way
  std::string ram = "/ram/" + std::string(200, 'r');
  ASSERT_EQ(pmkdir(ram.c_str()), 0);
  while (ram.size() + 201 <= size_t(PDISK_MAX_PATH)) {
    ram += "/" + std::string(200, 'r');
    ASSERT_EQ(pmkdir(ram.c_str()), 0) << ram.size();
  }
  ram += "/" + std::string(size_t(PDISK_MAX_PATH) - ram.size() - 1, 'f');
  ASSERT_EQ(ram.size(), size_t(PDISK_MAX_PATH));
  EXPECT_TRUE(put(ram.c_str(), "deep"));
  EXPECT_EQ(get(ram.c_str()), "deep");
  EXPECT_FALSE(put((ram + "g").c_str(), "one more"));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);  // loose: the walk it replaces took half a minute
}

}  // namespace

namespace {

// Two thousand small cartridges mounted one after another, as a program
// walking a folder of them does in one frame: while they fit the bound,
// a mount does not look at every file and mount again.
TEST_F(CartEdges, ManySmallCartridgesMountWithoutRescans) {
  const int N = 2000;
  for (int k = 0; k < N; k++)
    write_host("c" + std::to_string(k) + ".kvd",
               "kavelund cartridge // x\nversion 2\n\n:: a.txt\n" + std::to_string(k) + "\n" +
                   ":: [eoc]\n");
  auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < N; k++) {
    std::string path = "/c" + std::to_string(k) + ".kvd/a.txt";
    ASSERT_EQ(get(path.c_str()), std::to_string(k));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%d cartridges mounted in %.2f s\n", N, seconds);
  EXPECT_LT(seconds, 20.0);  // loose: rescanning after each mount took minutes here
}

}  // namespace

namespace {

// Making room for one cartridge that needs hundreds of others unmounted
// picks them in one look at the tables: it takes a fraction of what
// mounting them took, where unmounting them one by one, each after a new
// look at every file and mount, took as long again.
TEST_F(CartEdges, MakingRoomUnmountsManyCartridgesInOnePass) {
  const int N = 1000;
  for (int k = 0; k < N; k++)
    write_host("s" + std::to_string(k) + ".kvd",
               "kavelund cartridge // x\nversion 2\n\n:: a.txt\n" + std::to_string(k) + "\n" +
                   ":: [eoc]\n");
  using clock = std::chrono::steady_clock;
  auto start = clock::now();
  for (int k = 0; k < N; k++)
    ASSERT_EQ(get(("/s" + std::to_string(k) + ".kvd/a.txt").c_str()), std::to_string(k));
  double mounting = std::chrono::duration<double>(clock::now() - start).count();
  int64_t small = cart_unpacked_bytes();
  // a cartridge as large as half of them together
  ASSERT_EQ(pmkdir("/ram/src"), 0);
  ASSERT_TRUE(put("/ram/src/z.bin", std::string(size_t(small / 2), 'z')));
  pbuffer *rom = create_buffer_2(0, 'p');
  pbuffer *dir = create_buffer_from_str("/ram/src");
  ASSERT_EQ(write_kvd_rom_from_ram_files(rom, dir, 0), 0);
  write_host("big.kvd.rom", buffer_text(rom));
  destroy_buffer(rom);
  destroy_buffer(dir);
  delete_path("/ram/src");
  cart_unpacked_bound = small + small / 4;
  start = clock::now();
  EXPECT_EQ(get("/big.kvd.rom/z.bin").size(), size_t(small / 2));
  double making_room = std::chrono::duration<double>(clock::now() - start).count();
  int left = 0;
  for (int k = 0; k < N; k++) left += mounts_of(("/s" + std::to_string(k) + ".kvd").c_str());
  printf("%d mounted in %.3f s; room made in %.3f s, %d left\n", N, mounting, making_room, left);
  EXPECT_LT(left, N * 3 / 4);
  EXPECT_GT(left, 0);
  EXPECT_LE(cart_unpacked_bytes(), cart_unpacked_bound);
  EXPECT_LT(making_room, mounting / 4);
}

}  // namespace
