// The file table, pfopen/pfclose on RAM and host files, and the file
// operations.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pdisk_fixture.h"

using FileTable = PdiskTest;
using RamFiles = PdiskTest;
using HostFiles = PdiskTest;
using FileOps = PdiskTest;

static std::string slot_name(int i) { return to_cstr(pfile[i]->name); }

TEST_F(FileTable, StaysSortedAndFindsEveryName) {
  const char *names[] = {"/ram/b", "/ram/a", "/ram/c/d", "/ram/c", "/ram/B", "/ram/a", "/ram/aa"};
  for (const char *n : names) ASSERT_TRUE(put(n, n));
  for (int i = 1; i < num_pfiles; i++)
    EXPECT_LE(strcmp(to_cstr(pfile[i - 1]->name), to_cstr(pfile[i]->name)), 0);
  for (const char *n : names) {
    int idx = get_index_by_name(n);
    ASSERT_GE(idx, 0) << n;
    EXPECT_EQ(slot_name(idx), n);
  }
  EXPECT_EQ(get_index_by_name("/ram/zz"), -1);
  EXPECT_EQ(pdisk_num_pfiles(), 6);  // "/ram/a" was opened twice: one record
}

TEST_F(FileTable, FullTableAndSweep) {
  // names in ascending order, so each insert lands at the end
  char name[32];
  for (int i = 0; i < PDISK_MAX_PFILES; i++) {
    snprintf(name, sizeof name, "/n%07d", i);
    ASSERT_NE(pfile_insert(create_buffer_from_str(name), PFILE_RAM, nullptr), nullptr) << i;
  }
  pbuffer *extra = create_buffer_from_str("/n9999999");
  EXPECT_EQ(pfile_insert(extra, PFILE_RAM, nullptr), nullptr);
  destroy_buffer(extra);
  EXPECT_EQ(get_index_by_name("/n0123456"), 123456);
  EXPECT_EQ(pfopen("/ram/new", "w"), nullptr);  // "** too many files **"
  EXPECT_EQ(pmkdir("/ram/newdir"), 2);

  for (int i = 0; i < PDISK_MAX_PFILES; i += 2) {
    pfile[i]->origin = pfile[i]->name;  // RAM records own one buffer
    pfile_release(pfile[i]);
  }
  sweep_empty_pfiles();
  EXPECT_EQ(num_pfiles, PDISK_MAX_PFILES / 2);
  EXPECT_EQ(slot_name(0), "/n0000001");
  EXPECT_EQ(get_index_by_name("/n0123457"), 123457 / 2);
  EXPECT_EQ(get_index_by_name("/n0123456"), -1);
}

TEST_F(RamFiles, ModesWriteReadAppend) {
  ASSERT_TRUE(put("/ram/f", "hello"));
  EXPECT_EQ(get("/ram/f"), "hello");
  ASSERT_TRUE(put("/ram/f", " world", "a"));
  EXPECT_EQ(get("/ram/f"), "hello world");
  ASSERT_TRUE(put("/ram/new", "x", "a"));
  EXPECT_EQ(get("/ram/new"), "x");

  pfile_entry *f = pfopen("/ram/f", "w");  // "w" empties at once
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->data->length, 0);
  pfclose(f);
  EXPECT_EQ(get("/ram/f/"), "");
  EXPECT_EQ(pfopen("/ram/missing", "r"), nullptr);
  EXPECT_EQ(pfopen("/ram/missing", "re"), nullptr);
  EXPECT_EQ(pfopen("/ram/f", "x"), nullptr);
}

TEST_F(RamFiles, FoldersDoNotOpenAsFiles) {
  ASSERT_EQ(pmkdir("/ram/dir"), 0);
  EXPECT_EQ(pmkdir("/ram/dir"), 1);
  EXPECT_EQ(pdisk_count_slots_by_kind(PFILE_RAM), 1);
  EXPECT_EQ(pfopen("/ram/dir", "r"), nullptr);
  EXPECT_EQ(pfopen("/ram/dir", "re"), nullptr);
  EXPECT_EQ(pfopen("/ram/dir", "w"), nullptr);
  EXPECT_FALSE(pdisk_file_exists("/ram/dir"));
  EXPECT_TRUE(pdisk_directory_exists("/ram/dir", false));
  EXPECT_FALSE(pdisk_directory_exists("/ram", false));
  EXPECT_TRUE(pdisk_directory_exists("/ram", true));
  EXPECT_EQ(pfile_size("/ram/dir", 0), 0);
}

TEST_F(HostFiles, ReadWriteAppendThroughTheMount) {
  ASSERT_TRUE(put("/notes.txt", "first"));
  EXPECT_EQ(read_host("notes.txt"), "first");
  ASSERT_TRUE(put("/notes.txt", "+more", "a"));
  EXPECT_EQ(read_host("notes.txt"), "first+more");
  EXPECT_EQ(get("/notes.txt"), "first+more");
  EXPECT_EQ(host_names(), std::vector<std::string>{"notes.txt"});  // no temporary file left
  EXPECT_EQ(pdisk_count_slots_by_kind(PFILE_HOST), 0);             // closed host records go
  EXPECT_EQ(pending_sync, 1);
  sync_fs(1);
  EXPECT_EQ(pending_sync, 0);

  pfile_entry *f = pfopen("/notes.txt", "a");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->data->length, 0);                    // append starts from an empty buffer
  EXPECT_EQ(read_host("notes.txt"), "first+more");  // untouched until the close
  pfclose(f);
  EXPECT_EQ(read_host("notes.txt"), "first+more");
}

TEST_F(HostFiles, ExistenceAndLimitedReads) {
  write_host("big.bin", std::string(100 * 1024, 'q'));
  pfile_entry *f = pfopen("/big.bin", "re");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->data->length, 0);
  pfclose(f);
  f = pfopen("/big.bin", "rm");
  ASSERT_NE(f, nullptr);
  EXPECT_GE(f->data->length, 64 * 1024);
  EXPECT_LE(f->data->length, 80 * 1024);
  pfclose(f);
  EXPECT_EQ(get("/big.bin").size(), 100u * 1024);
  EXPECT_EQ(pfopen("/missing", "r"), nullptr);
  EXPECT_EQ(pfopen("/nofolder/x", "w"), nullptr);
  EXPECT_EQ(num_pfiles - pdisk_count_slots_by_kind(PFILE_EMPTY), 0);
}

TEST_F(HostFiles, FifoIsRefusedInsteadOfBlocking) {
  ASSERT_EQ(mkfifo(host_path("pipe").c_str(), 0644), 0);
  EXPECT_EQ(pfopen("/pipe", "r"), nullptr);
}

// Only regular files are written: a folder or a pipe is refused at the open,
// never replaced by the rename or handed out as a writable record.
TEST_F(HostFiles, WritesRefuseWhatIsNotARegularFile) {
  ASSERT_EQ(pmkdir("/dir"), 0);
  write_host("dir/inside", "kept");
  ASSERT_EQ(mkfifo(host_path("pipe").c_str(), 0644), 0);
  for (const char *mode : {"w", "a"}) {
    EXPECT_EQ(pfopen("/dir", mode), nullptr) << mode;
    EXPECT_EQ(pfopen("/pipe", mode), nullptr) << mode;
  }
  struct stat st;
  ASSERT_EQ(lstat(host_path("pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(read_host("dir/inside"), "kept");
  EXPECT_EQ(host_names(), (std::vector<std::string>{"dir", "pipe"}));
}

// The temporary file of a write keeps within the host's name limit, so the
// longest legal name can be written.
TEST_F(HostFiles, LongestNameIsWritten) {
  std::string name(254, 'L');
  ASSERT_TRUE(put(("/" + name).c_str(), "long"));
  EXPECT_EQ(read_host(name), "long");
  ASSERT_TRUE(put(("/" + name).c_str(), "+", "a"));
  EXPECT_EQ(read_host(name), "long+");
  EXPECT_EQ(host_names(), std::vector<std::string>{name});
}

TEST_F(HostFiles, FailedWriteIsReportedAndLeavesTheFile) {
  write_host("keep.txt", "old contents");
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  sync_fs(1);
  bool ok = put("/keep.txt", std::string(100000, 'n'));
  bool ok_append = put("/keep.txt", std::string(100000, 'n'), "a");
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(ok_append);
  EXPECT_EQ(read_host("keep.txt"), "old contents");
  EXPECT_EQ(host_names(), std::vector<std::string>{"keep.txt"});
  EXPECT_EQ(pending_sync, 0);
  EXPECT_EQ(fcopy("/keep.txt", "/keep2.txt"), (int64_t)strlen("old contents"));
}

TEST_F(HostFiles, WriteKeepsModeAndSymlink) {
  write_host("real.txt", "a");
  chmod(host_path("real.txt").c_str(), 0640);
  ASSERT_EQ(symlink("real.txt", host_path("link.txt").c_str()), 0);
  ASSERT_TRUE(put("/link.txt", "through the link"));
  EXPECT_EQ(read_host("real.txt"), "through the link");
  struct stat st;
  ASSERT_EQ(lstat(host_path("link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(host_path("real.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileOps, CopyOntoItselfLeavesItIntact) {
  ASSERT_TRUE(put("/ram/f", "precious"));
  EXPECT_EQ(fcopy("/ram/f", "/ram/f"), 8);
  EXPECT_EQ(get("/ram/f"), "precious");
  ASSERT_NE(mount_p_path("/al", "/ram"), nullptr);
  EXPECT_EQ(fcopy("/al/f", "/ram/./f"), 8);
  EXPECT_EQ(get("/ram/f"), "precious");
  ASSERT_TRUE(put("/h.txt", "host bytes"));
  ASSERT_NE(mount_p_path("/hal", "/"), nullptr);
  EXPECT_EQ(fcopy("/h.txt", "/hal/h.txt"), 10);
  EXPECT_EQ(read_host("h.txt"), "host bytes");
}

TEST_F(FileOps, CopyEmptyAndMissingSources) {
  ASSERT_TRUE(put("/ram/empty", ""));
  ASSERT_TRUE(put("/ram/dst", "keep"));
  EXPECT_EQ(fcopy("/ram/missing", "/ram/dst"), 0);
  EXPECT_EQ(get("/ram/dst"), "keep");
  EXPECT_EQ(fcopy("/ram/empty", "/ram/dst"), 0);
  EXPECT_EQ(get("/ram/dst"), "");
  ASSERT_TRUE(put("/ram/src", "abc"));
  EXPECT_EQ(fcopy("/ram/src", "/copied.txt"), 3);
  EXPECT_EQ(read_host("copied.txt"), "abc");
  // A destination that cannot be opened fails as a failed host write does.
  EXPECT_EQ(fcopy("/ram/src", "bad name"), -1);
  EXPECT_EQ(fcopy("/ram/src", "/nofolder/x.txt"), -1);
  EXPECT_EQ(fcopy("/ram/missing", "bad name"), 0);
}

TEST_F(FileOps, SizesFoldersAndDeletion) {
  write_host("h.bin", std::string(777, 'h'));
  ASSERT_TRUE(put("/ram/r", std::string(55, 'r')));
  EXPECT_EQ(pfile_size("/h.bin", 0), 777);
  EXPECT_EQ(pfile_size("/ram/r", 0), 55);
  EXPECT_EQ(pfile_size("/nothing", 0), 0);

  ASSERT_EQ(pmkdir("/hostdir"), 0);
  EXPECT_TRUE(pdisk_directory_exists("/hostdir", false));
  EXPECT_TRUE(host_directory_exists(host_path("hostdir").c_str()));
  EXPECT_FALSE(host_directory_exists(nullptr));
  EXPECT_EQ(delete_ram_files_in_path(nullptr), 0);
  ASSERT_TRUE(put("/hostdir/x", "x"));
  delete_path("/hostdir");  // not empty: the host refuses
  EXPECT_TRUE(pdisk_directory_exists("/hostdir", false));
  delete_path("/hostdir/x");
  delete_path("/hostdir");
  EXPECT_FALSE(pdisk_directory_exists("/hostdir", false));
  std::filesystem::remove(host_path("h.bin"));
  delete_path("/");  // the root's host folder stays, even when empty
  EXPECT_TRUE(host_directory_exists(host.c_str()));
  ASSERT_TRUE(put("/after.txt", "still writable"));

  ASSERT_EQ(pmkdir("/ram/d"), 0);
  ASSERT_EQ(pmkdir("/ram/d/e"), 0);
  ASSERT_TRUE(put("/ram/d/e/f", "1"));
  ASSERT_TRUE(put("/ram/dd", "2"));
  delete_path("/ram/d");
  sweep_empty_pfiles();
  EXPECT_EQ(get("/ram/d/e/f"), "<none>");
  EXPECT_FALSE(pdisk_directory_exists("/ram/d/e", false));
  EXPECT_EQ(get("/ram/dd"), "2");
  EXPECT_EQ(get("/ram/r"), std::string(55, 'r'));

  // deleting through an alias removes the file it names
  ASSERT_NE(mount_p_path("/al", "/ram"), nullptr);
  delete_path("/al/dd");
  EXPECT_EQ(get("/ram/dd"), "<none>");
}

// Folders are told from files also where readdir reports no entry type.
TEST_F(HostFiles, EntryTypeFallsBackToStat) {
  ASSERT_EQ(pmkdir("/dir"), 0);
  write_host("file", "f");
  ASSERT_EQ(symlink("dir", host_path("link").c_str()), 0);
  struct {
    const char *name;
    unsigned char type;
    bool folder;
  } cases[] = {
      {"dir", DT_UNKNOWN, true},   {"file", DT_UNKNOWN, false}, {"link", DT_LNK, true},
      {"link", DT_UNKNOWN, true},  {"dir", DT_DIR, true},       {"file", DT_REG, false},
      {"gone", DT_UNKNOWN, false},
  };
  for (auto &c : cases) {
    struct dirent e = {};
    strcpy(e.d_name, c.name);
    e.d_type = c.type;
    EXPECT_EQ(host_entry_is_folder(host.c_str(), &e), c.folder) << c.name << " " << int(c.type);
  }
}

TEST_F(HostFiles, ClosedHostRecordsAreSweptEveryFrame) {
  for (int i = 0; i < 3; i++) ASSERT_TRUE(put("/f.txt", "x"));
  EXPECT_EQ(pdisk_count_slots_by_kind(PFILE_EMPTY), 3);
  prune_mounts();
  EXPECT_EQ(num_pfiles, 0);
}
