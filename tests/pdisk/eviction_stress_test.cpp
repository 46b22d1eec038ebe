// Random stores, fetches, listings, copies and deletions over text and ROM
// cartridges, cartridges inside cartridges, a second mount point of the whole
// drive and cartridges that unpack to more than the bound, under a bound
// that holds only a few cartridges: every byte is checked against a model.
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "machine/app.h"
#include "lang/lua_api.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/listing.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"
#include "pdisk_fixture.h"

namespace {

uint64_t fake_now;
uint64_t fake_clock() { return fake_now; }

class EvictionStress : public PdiskTest {
 protected:
  lua_State *L = nullptr;
  std::mt19937 rng{20261211};
  std::map<std::string, std::string> files;  // canonical path -> bytes
  std::vector<std::string> containers;       // folders and cartridges files go in
  int evictions = 0, refusals = 0, ops = 0;

  void SetUp() override {
    // thousands of write-backs: on a memory file system when there is one
    reset_workstation();
    char tmpl[] = "/dev/shm/eviction_stress_XXXXXX";
    char fallback[] = "/tmp/eviction_stress_XXXXXX";
    const char *made = mkdtemp(tmpl);
    host = made ? made : mkdtemp(fallback);
    ASSERT_EQ(mount_host_path("/", host.c_str()), 0);
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    fake_now = 10000;
    clock_test_source = fake_clock;
    app.exclusive_process = 0;
    L = luaL_newstate();
  }
  void TearDown() override {
    lua_close(L);
    clock_test_source = nullptr;
    PdiskTest::TearDown();
  }
  int pick(int n) { return int(rng() % uint32_t(n)); }
  bool mounted(const std::string &point) { return get_mount_by_mount_point(point.c_str(), 0); }
  // The same file through the drive's second mount point, half the time.
  std::string way(const std::string &path) { return pick(2) ? "/alias" + path : path; }
  std::string random_bytes() {
    std::string s(size_t(pick(400)), '\0');
    bool text = pick(2);
    for (char &c : s) c = text ? char(pick(3) ? 'a' + pick(26) : '\n') : char(rng());
    return s;
  }
  std::string random_file() {
    static const char *names[] = {"a.txt", "b.lua", "c.bin", "d.pod", "e.txt", "f.bin"};
    return containers[size_t(pick(int(containers.size())))] + "/" + names[pick(6)];
  }
  // Names the model has directly in folder, as pflist gives them (natural
  // order, folders first; here every name is a file or a cartridge).
  std::string model_listing(const std::string &folder) {
    std::set<std::string> names;
    for (auto &[path, bytes] : files)
      if (path.rfind(folder + "/", 0) == 0 &&
          path.find('/', folder.size() + 1) == std::string::npos)
        names.insert(path.substr(folder.size() + 1));
    for (auto &c : containers)
      if (c.rfind(folder + "/", 0) == 0 && c.find('/', folder.size() + 1) == std::string::npos)
        names.insert(c.substr(folder.size() + 1));
    std::vector<const char *> sorted;
    for (auto &n : names) sorted.push_back(n.c_str());
    std::string out;
    listing *l = create_listing();
    for (auto *n : sorted) listing_add(l, create_buffer_from_str(n));
    listing_sort(l);
    for (int i = 0; i < l->count; i++) out += std::string(" ") + to_cstr(l->entries[i]);
    destroy_listing(l);
    return out;
  }
  std::string listed(const std::string &folder) {
    if (pflist(folder.c_str(), L) != 2) return "<none>";
    std::string out;
    lua_Integer n = luaL_len(L, -2);
    for (lua_Integer i = 1; i <= n; i++) {
      lua_rawgeti(L, -2, i);
      out += std::string(" ") + (lua_isstring(L, -1) ? lua_tostring(L, -1) : "<hole>");
      lua_pop(L, 1);
    }
    lua_settop(L, 0);
    return out;
  }
  // The cartridges mounted now, by mount point.
  std::set<std::string> mounted_carts() {
    std::set<std::string> out;
    for (int i = 0; i < pmounts; i++)
      if (pmount[i].cart_file) out.insert(to_cstr(pmount[i].mount_point));
    return out;
  }
  // Time passes: due write-backs happen, as in the frame loop.
  void frame() {
    fake_now += 150;
    flush_dirty_mounts_delayed();
    prune_mounts();
  }
  void check_everything() {
    for (auto &[path, bytes] : files) ASSERT_TRUE(get(way(path).c_str()) == bytes) << path;
    for (auto &c : containers) ASSERT_EQ(listed(way(c)), model_listing(c)) << c;
  }
};

// A ROM cartridge holding one file of n bytes of zeros: a few hundred bytes
// that unpack to n.
std::string zero_bomb(size_t n) {
  pmkdir("/ram/bombsrc");
  pfile_entry *f = pfopen("/ram/bombsrc/z.bin", "w");
  std::string zeros(n, '\0');
  bwrite(zeros.data(), 1, zeros.size(), f->data);
  pfclose(f);
  pbuffer *out = create_buffer_2(0, 'p');
  pbuffer *dir = create_buffer_from_str("/ram/bombsrc");
  EXPECT_EQ(write_kvd_rom_from_ram_files(out, dir, 0), 0);
  std::string rom = buffer_text(out);
  destroy_buffer(out);
  destroy_buffer(dir);
  delete_path("/ram/bombsrc");
  return rom;
}

TEST_F(EvictionStress, RandomOperationsLoseNoByte) {
  const int OPS = 4400;
  // cartridges of both kinds, one inside another of each kind, a folder
  std::vector<std::string> carts;
  for (int k = 0; k < 8; k++) {
    carts.push_back("/t" + std::to_string(k) + ".kvd");
    carts.push_back("/r" + std::to_string(k) + ".kvd.rom");
  }
  carts.push_back("/t0.kvd/in.kvd.rom");
  carts.push_back("/r1.kvd.rom/in.kvd");
  carts.push_back("/r2.kvd.rom/in.kvd.rom");
  for (const std::string &c : carts) {
    ASSERT_EQ(pmkdir(c.c_str()), 0) << c;
    containers.push_back(c);
    frame();
  }
  ASSERT_EQ(pmkdir("/plain"), 0);
  containers.push_back("/plain");
  ASSERT_NE(mount_p_path("/alias", "/"), nullptr);
  for (int i = 0; i < 20; i++) frame();
  // from now on each is mounted on its first use
  delete_clean_ram_mounts();
  ASSERT_TRUE(mounted_carts().empty());
  // a cartridge that unpacks past the bound, and one that fills most of it
  write_host("bomb.kvd.rom", zero_bomb(size_t(1) << 20));
  write_host("big.kvd.rom", zero_bomb(12 << 10));
  const std::string big((12 << 10), '\0');
  cart_unpacked_bound = 40 << 10;

  auto start = std::chrono::steady_clock::now();
  std::set<std::string> before = mounted_carts();
  for (ops = 0; ops < OPS; ops++) {
    SCOPED_TRACE("operation " + std::to_string(ops));
    int what = pick(100);
    bool dropped = false;
    if (what < 30) {  // store
      std::string path = random_file(), bytes = random_bytes();
      if (put(way(path).c_str(), bytes))
        files[path] = bytes;
      else
        refusals++;
    } else if (what < 60) {  // fetch
      std::string path = random_file();
      auto it = files.find(path);
      ASSERT_TRUE(get(way(path).c_str()) == (it == files.end() ? "<none>" : it->second)) << path;
    } else if (what < 70) {  // listing
      std::string c = containers[size_t(pick(int(containers.size())))];
      ASSERT_EQ(listed(way(c)), model_listing(c)) << c;
    } else if (what < 80) {  // copy
      std::string from = random_file(), to = random_file();
      bool found = false;
      int64_t n = fcopy(way(from).c_str(), way(to).c_str(), &found);
      ASSERT_EQ(found, files.count(from) == 1) << from;
      if (found && n >= 0)
        files[to] = files[from];
      else if (found)
        refusals++;
    } else if (what < 90) {  // deletion
      std::string path = random_file();
      if (delete_path(way(path).c_str()) == 0)
        files.erase(path);
      else
        refusals++;
    } else if (what < 93) {  // the bomb is refused, whole
      EXPECT_EQ(get(way("/bomb.kvd.rom/z.bin").c_str()), "<none>");
      EXPECT_FALSE(mounted("/bomb.kvd.rom") || mounted("/alias/bomb.kvd.rom"));
    } else if (what < 95) {  // clean cartridges dropped: each is mounted again with its files
      delete_clean_ram_mounts();
      dropped = true;
    } else if (what < 98) {  // the big one pushes the others out
      // or refused whole, when what must stay leaves no room for it
      std::string got = get(way("/big.kvd.rom/z.bin").c_str());
      if (got == "<none>") {
        EXPECT_FALSE(mounted("/big.kvd.rom") || mounted("/alias/big.kvd.rom"));
        refusals++;
      } else {
        ASSERT_TRUE(got == big);
      }
    } else {
      check_everything();
    }
    ASSERT_LE(cart_unpacked_bytes(), cart_unpacked_bound + (1 << 20));
    frame();
    std::set<std::string> now = mounted_carts();
    for (auto &c : before) evictions += !dropped && !now.count(c);
    before = now;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%d operations, %d cartridges unmounted to make room, %d refusals, %zu files, %.2f s\n",
         ops, evictions, refusals, files.size(), seconds);
  EXPECT_GT(evictions, 300);
  // everything written back, dropped, and read again from the files
  fake_now += 10000;
  flush_dirty_mounts_immediately();
  flush_dirty_mounts_immediately();
  EXPECT_EQ(flush_dirty_mounts_at_exit(), 0);
  delete_clean_ram_mounts();
  EXPECT_TRUE(mounted_carts().empty());
  check_everything();
}

}  // namespace
