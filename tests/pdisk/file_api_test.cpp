// The file functions as a process sees them.
#include "kernel/file_api.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "base/config.h"
#include "machine/memory.h"
#include "machine/memory_room.h"
#include "machine/message.h"
#include "userdata/udata.h"
#include "pdisk/cache.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "host/fetch.h"
#include "tests/kernel/kernel_fixture.h"
#include "pdisk_fixture.h"

namespace {

struct FileApi : kernel_fixture {
  std::string host;
  void SetUp() override {
    kernel_fixture::SetUp();
    pfile_init();
    pfile_reset();
    char tmpl[] = "/tmp/file_api_test_XXXXXX";
    host = mkdtemp(tmpl);
    std::filesystem::create_directory(host + "/root");
    ASSERT_EQ(mount_host_path("/", (host + "/root").c_str()), 0);
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    snprintf(config.home, sizeof config.home, "%s/home", host.c_str());
    config.network_access = 1;
  }
  void TearDown() override {
    pfile_reset();
    config.home[0] = 0;
    std::filesystem::remove_all(host);
    kernel_fixture::TearDown();
  }
  std::string host_file(const std::string &rel) {
    std::ifstream in(host + "/" + rel, std::ios::binary);
    if (!in) return "<none>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void write_file(const std::string &rel, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(host + "/" + rel).parent_path());
    std::ofstream(host + "/" + rel, std::ios::binary) << bytes;
  }
  // Every result of a call, joined by ",".
  std::string call(const std::string &expr) { return root_results(expr); }
};

TEST_F(FileApi, StoreAndFetchValuesAndRawStrings) {
  EXPECT_EQ(call("store('/ram/t.pod', {a = 1, b = {'x'}})"), "");
  EXPECT_EQ(call("fetch('/ram/t.pod').b[1]"), "x");
  EXPECT_EQ(call("fetch('/ram/t.pod', 2):sub(1, 10)"), "--[[pod]]\n");
  EXPECT_EQ(call("store('/t.txt', 'body', '--[[pod_format=\"raw\"]]')"), "");
  EXPECT_EQ(host_file("root/t.txt"), "--[[pod_format=\"raw\"]]\nbody");
  EXPECT_EQ(call("fetch('/t.txt', 2)"), "--[[pod_format=\"raw\"]]\nbody");
  root_eval("store('/n.txt', 'body', '--[[pod_format=\"raw\",metadata_format=\"none\"]]')");
  EXPECT_EQ(host_file("root/n.txt"), "body");
  EXPECT_EQ(call("fetch('/missing.pod')"), "");
  EXPECT_EQ(call("fetch()"), "");
  // metadata kept apart from the body
  root_eval("_store_metadata_str_to_file('/t.txt', '--[[pod,title=\"t\"]]\\n')");
  EXPECT_EQ(host_file("root/t.txt"), "--[[pod,title=\"t\"]]\nbody");
  EXPECT_EQ(call("_fetch_metadata_from_file('/t.txt').title"), "t");
  EXPECT_EQ(call("_fetch_metadata_from_file('/n.txt')"), "");
}

// Pixels stored as a PNG come back as the same pixels: i32 elements as
// 0xAARRGGBB, u8 elements through the process palette.
TEST_F(FileApi, ImagesStoredAsPng) {
  lua_State *L = root->L;
  const uint32_t pixels[] = {0xff102030, 0x80405060, 0x00708090, 0xffffffff};
  udata *ud = create_userdata(L, "i32", 2, 2, 2, nullptr);
  memcpy(udata_elements(ud), pixels, sizeof pixels);
  lua_setglobal(L, "img");
  udata *idx = create_userdata(L, "u8", 2, 2, 2, nullptr);
  udata_elements(idx)[0] = 0;
  udata_elements(idx)[1] = 7;
  lua_setglobal(L, "idx");
  poke4(0x5000, 0x00a0b0c0);
  poke4(0x5000 + 4 * 7, 0x00123456);
  EXPECT_EQ(call("store('/ram/p.png', img)"), "");
  EXPECT_EQ(call("store('/ram/i.png', idx)"), "");
  const std::string wrong = "could not store: not a value this kind of file holds";
  EXPECT_EQ(call("store('/ram/bad.png', 'text')"), wrong);
  EXPECT_EQ(call("store('/ram/bad.kvd', {1})"), wrong);
  EXPECT_EQ(call("fetch('/ram/bad.png')"), "");
  for (auto [path, want] : {std::make_pair("/ram/p.png", std::vector<uint32_t>(pixels, pixels + 4)),
                            std::make_pair("/ram/i.png", std::vector<uint32_t>{0, 0, 0, 0})}) {
    ASSERT_EQ(root_eval(std::string("got = fetch('") + path + "', 1) return 'ok'"), "ok");
    lua_getglobal(L, "got");
    udata *back = to_udata(L, -1);
    ASSERT_NE(back, nullptr) << path;
    ASSERT_EQ(udata_count(back), 4u) << path;
    std::vector<uint32_t> got(want.size());
    memcpy(got.data(), udata_elements(back), 4 * got.size());
    lua_pop(L, 1);
    if (std::string(path) == "/ram/p.png") {
      EXPECT_EQ(got, want);
    } else {
      // palette entries 0 and 7 of the process, fully opaque
      EXPECT_EQ(got[0], 0xffa0b0c0u);
      EXPECT_EQ(got[1], 0xff123456u);
    }
  }
}

TEST_F(FileApi, CartridgesThroughTheApi) {
  EXPECT_EQ(call("mkdir('/c.kvd')"), "");
  EXPECT_EQ(
      call("store('/c.kvd/main.lua', 'x', '--[[pod_format=\"raw\",metadata_format=\"none\"]]')"),
      "");
  EXPECT_EQ(call("mkdir('/c.kvd')"), "mkdir: directory already exists");
  // fetch of the cartridge path writes it back first and reads the file
  std::string bytes = root_eval("return fetch('/c.kvd')");
  EXPECT_NE(bytes.find(":: main.lua\nx\n:: [eoc]"), std::string::npos) << bytes;
  EXPECT_EQ(host_file("root/c.kvd"), bytes);
  std::string origin = to_cstr(get_mount_by_mount_point("/c.kvd", 0)->origin);
  EXPECT_EQ(call("fstat('/c.kvd')"), "folder," + std::to_string(bytes.size()) + "," + origin);
  EXPECT_EQ(call("fstat('/c.kvd/main.lua')"), "file,1,nil");
  EXPECT_EQ(call("fstat('/nothing')"), "");
  EXPECT_EQ(call("store('/p.kvd.png', 'short')"), "invalid .kvd.png file: not a valid PNG");
  EXPECT_EQ(call("mkdir('/no/such/dir')"), "mkdir failed");
  EXPECT_EQ(call("mkdir()"), "mkdir: no path");
}

TEST_F(FileApi, ListCopyMoveDelete) {
  root_eval("mkdir('/d') store('/d/b2.lua', 1) store('/d/b10.lua', 2) mkdir('/d/sub')");
  EXPECT_EQ(call("table.concat(ls('/d'), ' ')"), "sub b2.lua b10.lua");
  EXPECT_EQ(call("select(2, ls('/d'))"), "1");
  EXPECT_EQ(call("table.concat(ls('/'), ' ')"), "d ram");
  root_eval("cp('/d/b2.lua', '/ram/b2.lua') _fdelete('/d/b2.lua')");
  EXPECT_EQ(call("(fetch('/ram/b2.lua'))"), "1");
  EXPECT_EQ(call("fstat('/d/b2.lua')"), "");
  EXPECT_EQ(call("table.concat(ls('/d'), ' ')"), "sub b10.lua");
  EXPECT_EQ(call("ls('/no such')"), "");
}

TEST_F(FileApi, StoreCopyAndDeleteSayWhenTheyFail) {
  const std::string raw = ", '--[[pod_format=\"raw\",metadata_format=\"none\"]]'";
  write_file("root/f.txt", "file");
  write_file("root/gone.txt", "gone");
  write_file("root/full/in.txt", "in");
  const std::string head = "kavelund cartridge // x\nversion 2\n\n";
  write_file("root/skip.kvd", head + ":: a.lua\nx\n:: my notes.txt\nn\n:: [eoc]\n");
  write_file("root/ok.kvd", head + ":: a.lua\nx\n:: [eoc]\n");
  std::filesystem::create_directory(host + "/root/dir");
  const std::pair<std::string, bool> cases[] = {
      {"store('/ok.txt', 'x'" + raw + ")", false},
      {"store('/ok.pod', {1})", false},
      {"store('/f.txt/under.txt', 'x'" + raw + ")", true},  // a path under a file
      {"store('/f.txt/under.pod', {1})", true},
      {"store('/dir', 'x'" + raw + ")", true},  // the host refuses to replace a folder
      {"store('/f.txt/c.kvd', 'kvd')", true},
      {"cp('/f.txt', '/copy.txt')", false},
      {"cp('/missing.txt', '/copy2.txt')", true},
      {"cp('/f.txt', '/f.txt/x')", true},
      {"cp('/f.txt', '/dir')", true},
      {"_fdelete('/gone.txt')", false},
      {"_fdelete('/gone.txt')", false},  // names nothing already
      {"_fdelete('/full')", true},       // a host folder with contents stays
      {"_fdelete('/')", true},
      {"_fdelete('/skip.kvd/a.lua')", true},  // a cartridge not read whole takes no change
      {"_fdelete('/ok.kvd/a.lua')", false},   // inside a cartridge not mounted yet
      {"_fdelete('/ram/none')", false},
  };
  for (auto &[expr, fails] : cases) {
    std::string result = call(expr);
    EXPECT_EQ(result.empty(), !fails) << expr << " -> " << result;
  }
  EXPECT_EQ(host_file("root/f.txt"), "file");
  EXPECT_EQ(host_file("root/copy.txt"), "file");
  EXPECT_EQ(host_file("root/copy2.txt"), "<none>");
  EXPECT_EQ(host_file("root/gone.txt"), "<none>");
  EXPECT_EQ(host_file("root/full/in.txt"), "in");
  EXPECT_EQ(call("fetch('/ok.kvd/a.lua')"), "");
  EXPECT_EQ(call("fetch('/skip.kvd/a.lua')"), "x");
}

TEST_F(FileApi, DeletingAFolderTheSystemMountedIsRefused) {
  write_file("data/d.txt", "data");
  ASSERT_EQ(mount_ram_folder("/system"), 0);
  ASSERT_EQ(mount_host_path("/host_data", (host + "/data").c_str()), 0);
  const std::string raw = ", '--[[pod_format=\"raw\",metadata_format=\"none\"]]'";
  for (const char *file : {"/ram/r.txt", "/system/s.txt"})
    ASSERT_EQ(call(std::string("store('") + file + "', 'kept'" + raw + ")"), "");
  ASSERT_EQ(call("mount('/mine', '/ram')"), "");
  const int before = pmounts;
  // each point stays mounted, with what lies behind it
  const std::pair<const char *, const char *> kept[] = {
      {"/ram", "/ram/r.txt"},
      {"/ram/", "/ram/r.txt"},
      {"/ram/../ram", "/ram/r.txt"},
      {"/system", "/system/s.txt"},
      {"/host_data", "/host_data/d.txt"},
  };
  for (auto &[point, file] : kept) {
    EXPECT_EQ(call(std::string("_fdelete('") + point + "')"), "could not delete file") << point;
    EXPECT_EQ(call(std::string("fstat('") + point + "')").substr(0, 6), "folder") << point;
    EXPECT_EQ(call(std::string("fetch('") + file + "')"), file[1] == 'h' ? "data" : "kept")
        << point;
  }
  EXPECT_EQ(pmounts, before);
  EXPECT_EQ(host_file("data/d.txt"), "data");
  // a program's own mount is still taken down by deleting its point, and
  // the folder it stood for keeps its files
  EXPECT_EQ(call("_fdelete('/mine')"), "");
  EXPECT_EQ(pmounts, before - 1);
  EXPECT_EQ(call("fstat('/mine')"), "");
  EXPECT_EQ(call("fetch('/ram/r.txt')"), "kept");
  // a program's mount made at a point before the system mounted there goes,
  // the system's folder behind it stays (empty, as a host folder that
  // nothing else would keep)
  std::filesystem::create_directory(host + "/desk");
  ASSERT_EQ(call("mount('/desk', '/ram')"), "");
  ASSERT_EQ(mount_host_path("/desk", (host + "/desk").c_str()), 0);
  EXPECT_EQ(call("_fdelete('/desk')"), "could not delete file");
  EXPECT_EQ(call("fstat('/desk/r.txt')"), "");
  EXPECT_EQ(call("_fdelete('/desk')"), "could not delete file");
  EXPECT_TRUE(std::filesystem::is_directory(host + "/desk"));
  EXPECT_EQ(call("store('/desk/n.txt', 'new'" + raw + ")"), "");
  EXPECT_EQ(host_file("desk/n.txt"), "new");
}

TEST_F(FileApi, TheRamFolderOfAMountedCartridgeIsNotDeletedUnderIt) {
  const std::string head = "kavelund cartridge // x\nversion 2\n\n";
  const std::string raw = ", '--[[pod_format=\"raw\",metadata_format=\"none\"]]'";
  write_file("root/c.kvd", head + ":: a.lua\nx\n:: [eoc]\n");
  ASSERT_EQ(call("store('/c.kvd/b.lua', 'new'" + raw + ")"), "");  // waits to be written back
  const std::string folder = call("select(3, fstat('/c.kvd'))");
  ASSERT_EQ(folder.rfind("/ram/mount/m", 0), 0u) << folder;
  for (const std::string &path : {std::string("/ram/mount"), folder, folder + "/.."})
    EXPECT_EQ(call("_fdelete('" + path + "')"), "could not delete file") << path;
  flush_dirty_mounts_immediately();
  EXPECT_EQ(call("fetch('/c.kvd/a.lua')"), "x");
  const std::string saved = host_file("root/c.kvd");
  EXPECT_NE(saved.find("\n\n:: a.lua\nx\n:: b.lua\nnew\n:: [eoc]\n"), std::string::npos) << saved;
  // with the cartridge gone, the folder of cartridges is still the system's
  EXPECT_EQ(call("_fdelete('/c.kvd')"), "");
  EXPECT_EQ(call("_fdelete('/ram/mount')"), "could not delete file");
}

TEST_F(FileApi, ProgramsKeepOutOfTheSystemsFolders) {
  const std::string raw = ", '--[[pod_format=\"raw\",metadata_format=\"none\"]]'";
  write_file("root/f.txt", "file");
  const std::pair<std::string, std::string> cases[] = {
      {"mount('/ram/mount', '/')", "mount: can not mount over a system folder"},
      {"mount('/ram/mount/m3', '/')", "mount: can not mount over a system folder"},
      {"mount('/ram', '/')", "mount: can not mount over a system folder"},
      {"mount('/system', '/')", "mount: can not mount over a system folder"},
      {"mount('/system/apps', '/')", "mount: can not mount over a system folder"},
      {"mount('//ram//mount/', '/')", "mount: can not mount over a system folder"},
      {"mount('/x/../ram/', '/')", "mount: can not mount over a system folder"},
      {"mount('/y', '/ram/mount/../mount')", "mount: no cartridge is mounted there"},
      {"mkdir('/ram//mount/m45/')", "mkdir failed"},
      {"mount('/x', '/ram/mount/m99')", "mount: no cartridge is mounted there"},
      {"mount('/ram/cart', '/')", ""},
      {"mount('/ramx', '/ram')", ""},
      {"store('/ram/mount/m40/a.txt', 'x'" + raw + ")", "could not open file for writing"},
      {"store('/ram/mount/m41', {1})", "could not open file for writing"},
      {"mkdir('/ram/mount/m42')", "mkdir failed"},
      {"cp('/f.txt', '/ram/mount/m43')", "cp: could not write destination"},
      {"_fdelete('/ram/mount')", "could not delete file"},
      {"store('/ramx/mount/m44/a.txt', 'x'" + raw + ")", "could not open file for writing"},
  };
  for (auto &[expr, want] : cases) EXPECT_EQ(call(expr), want) << expr;
  EXPECT_EQ(get_mount_by_mount_point("/ram/mount", 0), nullptr);
  // a mount over a folder with a cartridge mounted shows the new folder's
  write_file("root/a/c.kvd", "kavelund cartridge // x\nversion 2\n\n:: a.lua\n1\n:: [eoc]\n");
  write_file("root/b/c.kvd", "kavelund cartridge // x\nversion 2\n\n:: a.lua\n2\n:: [eoc]\n");
  root_eval("mount('/w', '/a')");
  EXPECT_EQ(call("fetch('/w/c.kvd/a.lua')"), "1");
  root_eval("mount('/w/', '/b') _fdelete('/w')");
  EXPECT_EQ(call("fetch('/w/c.kvd/a.lua')"), "2");
  // a new cartridge is unpacked into RAM as before, and saved
  write_file("root/c.kvd", "kavelund cartridge // x\nversion 2\n\n:: a.lua\nx\n:: [eoc]\n");
  EXPECT_EQ(call("fetch('/c.kvd/a.lua')"), "x");
  EXPECT_EQ(call("store('/c.kvd/b.lua', 'y'" + raw + ")"), "");
  flush_dirty_mounts_immediately();
  EXPECT_NE(host_file("root/c.kvd").find(":: b.lua\ny\n"), std::string::npos);
}

TEST_F(FileApi, RamFilesCountAgainstTheWritersMemoryLimit) {
  const std::string raw = ", '--[[pod_format=\"raw\",metadata_format=\"none\"]]'";
  root_eval("s = string.rep('x', 1 << 20)");
  // one MiB files until the limit refuses one
  std::string got = call("(function() for i = 1, 64 do local e = store('/ram/f' .. i, s" + raw +
                         ") if e then return i, e end end end)()");
  ASSERT_EQ(got.substr(got.find(',')), ",could not write file: out of memory") << got;
  int refused = std::stoi(got);
  EXPECT_GT(refused, 20);
  EXPECT_LE(proc_counted_memory(root), memory_limit);
  EXPECT_GT(proc_counted_memory(root), memory_limit - (int64_t(2) << 20));
  EXPECT_EQ(call("fetch('/ram/f" + std::to_string(refused) + "')"), "");
  // rewriting a file it holds, the largest write that still fits, and a
  // copy past the limit
  EXPECT_EQ(call("store('/ram/f1', s" + raw + ")"), "");
  EXPECT_EQ(call("cp('/ram/f1', '/ram/copy')"), "cp: could not write destination");
  const int64_t room = memory_room_left(), name = int64_t(sizeof(pfile_entry)) + 10;
  EXPECT_TRUE(pfile_write_fits("/ram/edge", room - name));
  EXPECT_FALSE(pfile_write_fits("/ram/edge", room - name + 1));
  EXPECT_TRUE(pfile_write_fits("/edge", room + 1));
  // a file rewritten shorter holds no more than its new size
  EXPECT_EQ(call("store('/ram/f2', 'short'" + raw + ")"), "");
  EXPECT_LT(pfile_size("/ram/f2", 0) + 1, 64);
  EXPECT_LT(get_ram_file_by_name("/ram/f2")->data->capacity, 64);
  // deleting gives the room back
  root_eval("for i = 1, 64 do _fdelete('/ram/f' .. i) end");
  EXPECT_EQ(root->file_bytes, 0);
  EXPECT_EQ(call("store('/ram/f1', s" + raw + ")"), "");
  // a restarted program is the same writer: its files stay charged to it
  proc *q = get_process(spawn("flip()"));
  ASSERT_NE(q, nullptr);
  set_current_process(q);
  pfile_entry *f = pfopen("/ram/q", "w");
  ASSERT_NE(f, nullptr);
  bwrite("12345678", 1, 8, f->data);
  pfile_charge_writer(f);
  pfclose(f);
  const int64_t charged = q->file_bytes;
  EXPECT_GT(charged, 8);
  restart_process(q);
  EXPECT_EQ(q->file_bytes, charged);
  EXPECT_EQ(delete_path("/ram/q"), 0);
  EXPECT_EQ(q->file_bytes, 0);
  set_current_process(root);
  // a RAM folder's record counts too, and is refused past the room
  const std::string dir = "/ram/" + std::string(200, 'd');
  const int64_t held = root->file_bytes;
  EXPECT_EQ(call("mkdir('" + dir + "')"), "");
  EXPECT_GT(root->file_bytes, held + 200);
  EXPECT_EQ(call("_fdelete('" + dir + "')"), "");
  EXPECT_EQ(root->file_bytes, held);
  root->file_bytes += memory_room_left() - 100;
  EXPECT_EQ(call("mkdir('" + dir + "')"), "mkdir failed");
  root->file_bytes = held;
  // host files are not held in memory: they count for nothing
  for (int i = 0; i < 40; i++)
    ASSERT_EQ(call("store('/h" + std::to_string(i) + "', s" + raw + ")"), "") << i;
}

TEST_F(FileApi, ACartridgeReachedThroughALinkedFolderIsMountedOnce) {
  // two ways to one host file share one folder: a change through either is
  // kept, and deleting the cartridge through one leaves nothing to write back
  const std::string head = "kavelund cartridge // x\nversion 2\n\n";
  const std::string raw = ", '--[[pod_format=\"raw\",metadata_format=\"none\"]]'";
  write_file("root/b/c.kvd", head + ":: a.lua\nx\n:: [eoc]\n");
  std::filesystem::create_directory_symlink(host + "/root/b", host + "/root/a");
  ASSERT_EQ(call("store('/a/c.kvd/y.lua', 'y'" + raw + ")"), "");
  ASSERT_EQ(call("store('/b/c.kvd/z.lua', 'z'" + raw + ")"), "");
  EXPECT_EQ(call("fetch('/a/c.kvd/z.lua')"), "z");
  flush_dirty_mounts_immediately();
  const std::string saved = host_file("root/b/c.kvd");
  EXPECT_NE(saved.find(":: y.lua\ny\n:: z.lua\nz\n"), std::string::npos) << saved;
  ASSERT_EQ(call("store('/a/c.kvd/w.lua', 'w'" + raw + ")"), "");
  EXPECT_EQ(call("_fdelete('/b/c.kvd')"), "");
  flush_dirty_mounts_immediately();
  EXPECT_EQ(host_file("root/b/c.kvd"), "<none>");
}

TEST_F(FileApi, StoringAWholeCartridgeReplacesItsMount) {
  const std::string head = "kavelund cartridge // x\nversion 2\n\n";
  write_file("root/s1.kvd", head + ":: a.lua\nold\n:: [eoc]\n");
  EXPECT_EQ(call("fetch('/s1.kvd/a.lua')"), "old");
  // a change still waiting to be written back is overtaken by the store
  root_eval("store('/s1.kvd/b.lua', 'b', '--[[pod_format=\"raw\",metadata_format=\"none\"]]')");
  std::string stored = head + ":: a.lua\nnew\n:: [eoc]\n";
  EXPECT_EQ(call("store('/s1.kvd', '" + std::string("kavelund cartridge // x\\nversion 2") +
                 "\\n\\n:: a.lua\\nnew\\n:: [eoc]\\n')"),
            "");
  EXPECT_EQ(call("fetch('/s1.kvd/a.lua')"), "new");
  flush_dirty_mounts_immediately();
  EXPECT_EQ(host_file("root/s1.kvd"), stored);
  // a cartridge is copied as its file, so copy-then-delete keeps it
  EXPECT_EQ(call("cp('/s1.kvd', '/moved.kvd')"), "");
  root_eval("_fdelete('/s1.kvd')");
  EXPECT_EQ(host_file("root/moved.kvd"), stored);
  EXPECT_EQ(call("fetch('/moved.kvd/a.lua')"), "new");
}

TEST_F(FileApi, ProgramsCannotFillTheMountTable) {
  // mounts stop with an error well before the table is full
  int base = pmounts;
  EXPECT_EQ(call("(function() for i = 1, 8190 do local e = mount('/m' .. i, '/ram') "
                 "if e then return i, e end end end)()"),
            std::to_string(PDISK_USERLAND_MOUNTS - base + 1) + ",mount: too many mounts");
  // cartridges that cannot be written back fill the rest; pruning a full
  // table of them ends nothing
  root_eval("mkdir('/gone')");
  for (int i = 0; pmounts < PDISK_MAX_MOUNTS; i++)
    ASSERT_EQ(pmkdir(("/gone/c" + std::to_string(i) + ".kvd").c_str()), 0);
  std::filesystem::remove_all(host + "/root/gone");
  EXPECT_EQ(call("mount('/late', '/ram')"), "mount: too many mounts");
  prune_mounts();
  EXPECT_EQ(pmounts, PDISK_MAX_MOUNTS);  // kept dirty, and the program goes on
}

TEST_F(FileApi, FailedWriteBackNotifiesTheWindowManagerOnce) {
  ASSERT_EQ(spawn("flip()"), 2);
  ASSERT_EQ(spawn("flip()"), 3);
  root_eval("mkdir('/e') mkdir('/e/f.kvd') store('/e/f.kvd/a.pod', 1)");
  std::filesystem::remove_all(host + "/root/e");
  flush_dirty_mounts_immediately();
  flush_dirty_mounts_immediately();
  proc *wm = get_process(3);
  pbuffer *m = read_process_message(wm, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_NE(std::string(to_cstr(m)).find("could not save /e/f.kvd"), std::string::npos);
  EXPECT_EQ(read_process_message(wm, nullptr), nullptr);
  EXPECT_EQ(get_mount_by_mount_point("/e/f.kvd", 0)->dirty, 1u);
}

TEST_F(FileApi, CacheNamesAreChecked) {
  std::string cache = host + "/home/cache/f/";
  write_file("home/cache/f/short", std::string(511, 's'));
  write_file("home/cache/f/v3", std::string(600, '3'));
  write_file("home/cache/f/v7", std::string(600, '7'));
  EXPECT_EQ(call("_cache_fetch('f', 'short')"), "");
  EXPECT_EQ(call("_cache_fetch('f', 'v%d', true):sub(1, 1)"), "7");
  EXPECT_EQ(call("_cache_fetch('f', 'v%d')"), "");
  root_eval("_cache_store('g', 'item', string.rep('i', 600))");
  EXPECT_EQ(host_file("home/cache/g/item"), std::string(600, 'i'));
  for (const char *bad : {"'../x'", "'/etc/x'", "'%s%s%n'", "'a b'", "'v%d%d'"}) {
    root_eval(std::string("_cache_store('g', ") + bad + ", string.rep('i', 600))");
    EXPECT_EQ(call(std::string("_cache_fetch('g', ") + bad + ", true)"), "") << bad;
  }
  EXPECT_FALSE(std::filesystem::exists(host + "/home/x"));
  EXPECT_EQ(cart_cache_name("https://carts.kavelund.invalid/a.kvd.png"), "carts/a.kvd.png");
  EXPECT_EQ(cart_cache_name("https://carts.kavelund.invalid/bbs/get_cart.php?cat=8&lid=abc-1"),
            "carts/abc-1.kvd.png");
  for (const char *url : {"https://carts.kavelund.invalid/../../x", "https://other.invalid/a.png",
                          "https://carts.kavelund.invalid//etc/x",
                          "https://carts.kavelund.invalid/bbs/get_cart.php?cat=8&lid=%s"})
    EXPECT_EQ(cart_cache_name(url), "") << url;
}

// The download callback stores a finished PNG of at least 512 bytes in the
// file its job was started for, and nothing else.
TEST_F(FileApi, DownloadCallbackStoresCartPngs) {
  EXPECT_EQ(cart_cache_host_path("https://other.invalid/a.png"), "");
  EXPECT_FALSE(std::filesystem::exists(host + "/home/cache"));
  std::string png = "\x89PNG" + std::string(600, 'p');
  struct job_case {
    const char *url;
    std::string body;
    uint32_t status;
    const char *file;  // where it lands; null: nowhere
  } cases[] = {
      {"https://carts.kavelund.invalid/a.kvd.png", png, GURL_DONE, "a.kvd.png"},
      {"https://carts.kavelund.invalid/bbs/get_cart.php?cat=8&lid=c-1", png, GURL_DONE,
       "c-1.kvd.png"},
      {"https://carts.kavelund.invalid/b.kvd.png", png.substr(0, 511), GURL_DONE, nullptr},
      {"https://carts.kavelund.invalid/d.kvd.png", png, GURL_RECEIVING, nullptr},
      {"https://carts.kavelund.invalid/e.kvd.png", png, GURL_FAILED, nullptr},
      {"https://carts.kavelund.invalid/f.kvd.png", "GIF8" + png, GURL_DONE, nullptr},
  };
  for (const job_case &c : cases) {
    gurl_job job;
    std::string target = cart_cache_host_path(c.url);
    ASSERT_NE(target, "") << c.url;
    gurl_buffer_write(&job.url, c.url, strlen(c.url));
    gurl_buffer_write(&job.extra, target.data(), target.size());
    gurl_buffer_write(&job.response, c.body.data(), c.body.size());
    job.status = c.status;
    gurl_cb(&job);
    std::string name = std::filesystem::path(target).filename();
    EXPECT_EQ(host_file("home/cache/carts/" + name), c.file ? c.body : "<none>") << c.url;
  }
  // A job started for any other address has no file to store in.
  gurl_job job;
  gurl_buffer_write(&job.url, "https://other.invalid/a.png", 27);
  gurl_buffer_write(&job.response, png.data(), png.size());
  job.status = GURL_DONE;
  gurl_cb(&job);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(host + "/home/cache/carts"), {}), 2);
}

TEST_F(FileApi, RemoteFetchWithoutNetwork) {
  config.network_access = 0;
  EXPECT_EQ(call("_fetch_remote('https://x.invalid/')"), "nil,no network access");
  EXPECT_EQ(call("_fetch_remote_result(1)"), "nil,nil,no network access");
  config.network_access = 1;
  setenv("no_proxy", "*", 1);  // no host proxy stands in for the loopback
  // Nothing listens on port 9 of the loopback: the job fails.
  std::string id = call("_fetch_remote('http://127.0.0.1:9/')");
  EXPECT_EQ(call("math.type(" + id + ")"), "integer");
  std::string result;
  for (int i = 0; i < 1000 && result.empty(); i++) {
    result = call("_fetch_remote_result(" + id + ")");
    if (result.empty()) usleep(10000);
  }
  EXPECT_EQ(result, "nil,nil,could not download");
}

TEST_F(FileApi, TextsTakenApart) {
  const std::pair<const char *, const char *> cases[] = {
      {"split('1,2,,x', ',')", "1,2,,x"},
      {"math.type(split('1,2,,x', ',')[1])", "integer"},
      {"split('1,2', ',', false)[1] == '1'", "true"},
      {"#split('1,2,,x', ',')", "4"},
      {"split('abc', 2)", "ab,c"},
      {"split('a;b c', '; ')", "a,b,c"},
      {"split('a1', '')", "a,1.0"},
      {"#split('', 3)", "0"},
      {"split('a,b')", "a,b"},
      {"_ext('x.kvd.png#3')", "kvd.png"},
      {"_ext('/a/main.lua#12')", "lua"},
      {"_ext('a.Lua')", "nil"},
      {"_ext('.lua')", "nil"},
      {"_ext('noext')", "nil"},
      {"_path('a#b#c')", "a"},
      {"_hloc('a#b#c')", "b#c"},
      {"_hloc('a')", "nil"},
      {"fullpath('anywhen://x/y')", "anywhen://x/y"},
      {"fullpath('/a/../b/')", "/b"},
      {"fullpath('a b')", ""},
  };
  for (auto [expr, want] : cases) {
    std::string got = root_eval("local t = " + std::string(expr) +
                                " if type(t) == 'table' then return table.concat(t, ',') end "
                                "return tostring(t)");
    if (std::string(want).empty())
      EXPECT_EQ(call(expr), "") << expr;
    else
      EXPECT_EQ(got, want) << expr;
  }
}

}  // namespace
