// The file history as processes see it: host writes, deletions and new
// folders over several fake days recorded in day logs, blobs and deltas, then
// listed and fetched back through the file API.
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/config.h"
#include "base/debug_log.h"
#include "pod/murmur3.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "anywhen/anywhen.h"
#include "anywhen/anywhen_query.h"
#include "anywhen/anywhen_store.h"
#include "tests/kernel/kernel_fixture.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<none>";
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Deterministic bytes: text-like when mod is small, noise when it is 256.
std::string bytes(size_t n, uint32_t seed, int mod = 256) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    s[i] = (char)(mod == 256 ? seed >> 16 : 'a' + (seed >> 16) % mod);
  }
  return s;
}

std::string hash_of(const std::string &s) {
  uint64_t h[2];
  murmurhash3_x64_128(s.data(), (int)s.size(), 0, h);
  char out[33];
  for (int i = 0; i < 16; i++)
    snprintf(out + 2 * i, 3, "%02x", (unsigned)(uint8_t)(h[i / 8] >> (8 * (i % 8))));
  return out;
}

// Lines that begin with start (or equal it, when exact).
int count_lines(const std::string &log, const std::string &start, bool exact = false) {
  int n = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    n += exact ? line == start : line.rfind(start, 0) == 0;
  return n;
}

struct History : kernel_fixture {
  static inline uint64_t now_ms = 0;
  static uint64_t fake_clock() { return now_ms; }
  static inline std::string log_dir;  // the debug log of the whole program
  std::string host;

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/anywhen_log_XXXXXX";
    log_dir = mkdtemp(tmpl);
    snprintf(config.home, sizeof config.home, "%s", log_dir.c_str());
    debug_log_open_allowed();
    debug_log("file history tests\n");
    config.home[0] = 0;
  }
  static void TearDownTestSuite() { fs::remove_all(log_dir); }

  void SetUp() override {
    kernel_fixture::SetUp();
    char tmpl[] = "/tmp/anywhen_test_XXXXXX";
    host = mkdtemp(tmpl);
    fs::create_directory(host + "/root");
    ASSERT_EQ(mount_host_path("/", (host + "/root").c_str()), 0);
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    snprintf(config.home, sizeof config.home, "%s/home", host.c_str());
    config.anywhen = 1;
    clock_test_source = fake_clock;
    at(2025, 3, 7, 0, 0, 0);
  }
  void TearDown() override {
    kernel_fixture::TearDown();
    clock_test_source = nullptr;
    config.anywhen = 0;
    config.home[0] = 0;
    fs::remove_all(host);
  }

  static void at(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    now_ms = (uint64_t)timegm(&t) * 1000;
  }
  void write(const char *path, const std::string &data) {
    pfile_entry *f = pfopen(path, "w");
    ASSERT_NE(f, nullptr) << path;
    bwrite(data.data(), 1, data.size(), f->data);
    ASSERT_EQ(pfclose(f), 0);
  }
  std::string store(const std::string &rel) const { return host + "/home/anywhen/" + rel; }
  std::string root(const std::string &rel) const { return host + "/root/" + rel; }
  std::string day_log(const char *month, const char *day) const {
    return read_file(store(std::string(month) + "/" + day + ".log"));
  }
  static std::string log_text() { return read_file(log_dir + "/log.txt"); }
  static std::string fetched(const std::string &query) {
    pbuffer_owner b(anywhen_fetch(query.c_str()));
    return b ? std::string((const char *)b->data, b->length) : "<none>";
  }
  // A history query's table as its entries joined by blanks, or "<nothing>".
  std::string listed(const char *fn, const std::string &arg) {
    return root_eval("local t = " + std::string(fn) + "('" + arg +
                     "') if t == nil then return '<nothing>' end return table.concat(t, ' ')");
  }
};

TEST_F(History, ScriptedDaysAreListedAndEveryVersionFetchedBack) {
  const std::string v1 = bytes(3000, 1, 20), v3 = bytes(5000, 3, 26);
  std::string v2 = v1;
  v2.replace(1000, 5, "HELLO");

  at(2025, 3, 7, 9, 0, 0);
  ASSERT_EQ(pmkdir("/docs"), 0);  // the day's first event: its log and branch
  write("/docs/a.txt", v1);
  at(2025, 3, 7, 9, 10, 0);
  write("/docs/a.txt", v2);
  at(2025, 3, 7, 9, 20, 0);
  ASSERT_EQ(pmkdir("/docs/sub"), 0);
  write("/docs/sub/b.lua", "print('b')");
  at(2025, 3, 7, 9, 30, 0);
  write("/docs/new.txt", "n1");
  at(2025, 3, 7, 9, 31, 0);
  write("/docs/new.txt", "n2");
  at(2025, 3, 8, 7, 0, 0);
  anywhen_open();  // a new session on the next day: its branch holds v2
  at(2025, 3, 8, 8, 0, 0);
  write("/docs/a.txt", v3);
  at(2025, 3, 8, 8, 30, 0);
  ASSERT_EQ(delete_path("/docs/sub/b.lua"), 0);
  at(2026, 1, 2, 10, 0, 0);
  write("/docs/c.txt", "c");

  std::string day1 = day_log("2025-03", "07");
  EXPECT_EQ(count_lines(day1, "$ " + hash_of(v1) + " /docs/a.txt"), 1);
  EXPECT_EQ(count_lines(day1, "+ " + hash_of(v1) + " /docs/a.txt"), 1);  // v2 as a delta
  EXPECT_EQ(count_lines(day1, "> /docs/sub"), 1);
  std::string day2 = day_log("2025-03", "08");
  EXPECT_EQ(count_lines(day2, ": " + hash_of(v2) + " /docs/a.txt"), 1);
  EXPECT_EQ(count_lines(day2, "^ /docs/sub/"), 1);
  EXPECT_EQ(count_lines(day2, "- /docs/sub/b.lua"), 1);
  EXPECT_EQ(count_lines(day2, "@ 2025-03-08_07:00:00 __start_session"), 1);

  // By location: every year from the first recorded one to today's, 2026
  // included. A folder counts on days a file new to that day was written in it.
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/docs/a.txt"), "2025-03-07 2025-03-08");
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/docs/c.txt"), "2026-01-02");
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/docs/"), "2025-03-07 2026-01-02");
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/docs/sub/"), "2025-03-07 2025-03-08");
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/nothing.txt"), "");

  // By day: a file's moments; a folder's new files, each once.
  EXPECT_EQ(listed("_list_anywhen_by_day", "/docs/a.txt @ 2025-03-07"), "09:00:00 09:10:00");
  EXPECT_EQ(listed("_list_anywhen_by_day", "/docs/new.txt @ 2025-03-07"), "09:30:00 09:31:00");
  EXPECT_EQ(listed("_list_anywhen_by_day", "/docs @ 2025-03-07"), "09:00:00 09:30:00");
  EXPECT_EQ(listed("_list_anywhen_by_day", "/docs @ 2025-03-08"), "");  // a.txt was in the branch
  EXPECT_EQ(listed("_list_anywhen_by_day", "/docs/a.txt @ 2025-03-09"), "");

  // By folder moment, folders first; a day without a log uses the last one.
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs @ 2025-03-07_09:15:00"), "a.txt");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs @ 2025-03-07_23:00:00"),
            "sub a.txt new.txt");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs/sub @ 2025-03-08_07:30:00"), "b.lua");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs/sub @ 2025-03-08_08:29:59"), "b.lua");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs/sub @ 2025-03-08_09:00:00"), "");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs @ 2025-03-20_12:00:00"),
            "sub a.txt new.txt");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/ @ 2025-03-07_09:00:00"), "docs");
  // A far-off year starts from the newest log rather than walking back to it.
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs @ 4050-01-01_00:00:00"),
            "sub a.txt c.txt new.txt");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs @ 2024-01-01_00:00:00"), "");

  // Every version, byte for byte.
  struct {
    const char *query;
    std::string bytes;
  } versions[] = {
      {"/docs/a.txt @ 2025-03-07_08:59:59", "<none>"},  // before every line of that day
      {"/docs/a.txt @ 2025-03-07_09:00:00", v1},
      {"/docs/a.txt @ 2025-03-07_09:09:59", v1},
      {"/docs/a.txt @ 2025-03-07_09:10:00", v2},
      {"/docs/a.txt @ 2025-03-08_07:30:00", v2},  // through the day's branch
      {"/docs/a.txt @ 2025-03-08_08:00:00", v3},
      {"/docs/a.txt @ 2025-03-15_00:00:00", v3},  // the last log before that day
      {"/docs/a.txt|@|2025-03-07_09:10:00", v2},  // any separator bytes
      {"/docs/new.txt @ 2025-03-07_09:30:00", "n1"},
      {"/docs/new.txt @ 2025-03-07_09:31:00", "n2"},
      {"/docs/c.txt @ 2026-01-02_10:00:00", "c"},
      {"/docs/c.txt @ 2026-01-02_09:59:59", "<none>"},  // not there at the day's start
      {"/docs/c.txt @ 2099-06-01_00:00:00", "c"},       // far future: the newest log
      {"/docs/gone.txt @ 2025-03-07_12:00:00", "<none>"},
  };
  for (auto &v : versions) EXPECT_EQ(fetched(v.query), v.bytes) << v.query;
  // Through the file API: a Lua file's bytes come back as a plain string.
  EXPECT_EQ(root_eval("return _fetch_anywhen('/docs/sub/b.lua @ 2025-03-07_09:20:00')"),
            "print('b')");
  EXPECT_EQ(root_eval("return #_fetch_anywhen('/docs/a.txt @ 2025-03-07_09:10:00')"),
            std::to_string(v2.size()));
  EXPECT_EQ(root_eval("return fullpath('anywhen://docs/a.txt')"), "anywhen://docs/a.txt");

  // An independent LZ4 decodes every blob to a version named by its hash,
  // and every delta to the length of the version it makes.
  const char *py = getenv("KVD_PYTHON");
  const char *src = getenv("KVD_SOURCE_DIR");
  if (!py || !src) GTEST_SKIP() << "run through ctest";
  std::string out = host + "/decoded";
  std::string cmd =
      std::string(py) + " " + src + "/tests/anywhen/check_store.py " + store("") + " " + out;
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string report;
  char line[512];
  while (fgets(line, sizeof line, p)) report += line;
  ASSERT_EQ(pclose(p), 0) << report;
  // v2 and n2 are stored whole by the next day's branch.
  for (const std::string &v : {v1, v2, v3, std::string("print('b')"), std::string("n1"),
                               std::string("n2"), std::string("c")})
    EXPECT_EQ(read_file(out + "/" + hash_of(v)), v) << hash_of(v);
  EXPECT_EQ(count_lines(report, "blob "), 7) << report;
  EXPECT_EQ(count_lines(report, "delta /docs/a.txt " + std::to_string(v2.size())), 1) << report;
  EXPECT_EQ(count_lines(report, "delta /docs/new.txt 2 "), 1) << report;
}

// Whole version or delta: a delta is kept when at most 512 bytes, or at most
// 8192 bytes and a sixteenth of the file.
TEST_F(History, DeltasAreKeptOnlyWhenSmall) {
  const std::string big = bytes(100 * 1024, 7);
  std::string small_change = big, large_change = big;
  small_change.replace(50000, 3000, bytes(3000, 8));  // about 3000 bytes: under 6400
  large_change.replace(50000, 7000, bytes(7000, 9));  // about 7000 bytes: over 6400
  ASSERT_EQ(pmkdir("/start"), 0);                     // the day's log and branch
  write("/big.dat", big);
  write("/big.dat", small_change);
  write("/big.dat", large_change);
  write("/big.dat", large_change);  // unchanged: a delta of a few dozen bytes
  std::string log = day_log("2025-03", "07");
  EXPECT_EQ(count_lines(log, "$ " + hash_of(big) + " /big.dat"), 1);
  EXPECT_EQ(count_lines(log, "+ " + hash_of(big) + " /big.dat"), 1);
  EXPECT_EQ(count_lines(log, "$ " + hash_of(large_change) + " /big.dat"), 1);
  EXPECT_EQ(count_lines(log, "+ " + hash_of(large_change) + " /big.dat"), 1);
  EXPECT_EQ(fetched("/big.dat @ 2025-03-07_00:00:00"), large_change);
  // Four versions within one second: that moment is listed once.
  EXPECT_EQ(listed("_list_anywhen_by_day", "/big.dat @ 2025-03-07"), "00:00:00");

  // Equal contents share one blob.
  write("/one.txt", "same bytes");
  write("/two.txt", "same bytes");
  EXPECT_EQ(std::distance(fs::directory_iterator(store("blob")), fs::directory_iterator{}), 3);
  EXPECT_EQ(count_lines(day_log("2025-03", "07"), "$ " + hash_of("same bytes")), 2);

  // Files of 16 MiB or more are not kept; nothing under a *.bin folder is.
  // (Written on the host and reported as a write would be, skipping the
  // file layer's flush to disk.)
  for (auto [name, size] :
       {std::pair{"huge.dat", ANYWHEN_MAX_FILE}, {"almost.dat", ANYWHEN_MAX_FILE - 1}}) {
    std::ofstream(root(name), std::ios::binary) << std::string(size, 'z');
    anywhen_event(ANYWHEN_WRITE, (std::string("/") + name).c_str(), root(name).c_str());
  }
  ASSERT_EQ(pmkdir("/tools.bin"), 0);
  write("/tools.bin/x.txt", "x");
  log = day_log("2025-03", "07");
  EXPECT_EQ(count_lines(log, "$ " + hash_of(std::string(ANYWHEN_MAX_FILE - 1, 'z'))), 1);
  EXPECT_EQ(log.find("/huge.dat"), std::string::npos);
  EXPECT_EQ(log.find("/tools.bin/x.txt"), std::string::npos);
}

// A version is only named in the log once its bytes are on disk, and a delta
// only against a base that loads.
TEST_F(History, FailedBlobsAndMissingBasesLeaveNoDanglingRecords) {
  ASSERT_EQ(pmkdir("/d"), 0);  // creates the store
  fs::remove_all(store("blob"));
  std::ofstream(store("blob")) << "not a folder";
  write("/d/f.txt", "first");
  EXPECT_EQ(day_log("2025-03", "07").find("/d/f.txt"), std::string::npos);
  EXPECT_NE(log_text().find("[anywhen] couldn't write blob"), std::string::npos);

  fs::remove(store("blob"));
  write("/d/f.txt", "second");  // no base recorded: stored whole
  EXPECT_EQ(count_lines(day_log("2025-03", "07"), "$ " + hash_of("second") + " /d/f.txt"), 1);

  fs::remove(store("blob/" + hash_of("second") + ".lz4"));
  write("/d/f.txt", "third");  // the base is gone: stored whole again
  EXPECT_EQ(count_lines(day_log("2025-03", "07"), "$ " + hash_of("third") + " /d/f.txt"), 1);
  EXPECT_EQ(count_lines(day_log("2025-03", "07"), "+ "), 0);
  EXPECT_EQ(fetched("/d/f.txt @ 2025-03-07_01:00:00"), "third");

  // Damaged blobs give nothing.
  std::string blob = store("blob/" + hash_of("third") + ".lz4");
  std::string good = read_file(blob);
  for (std::string damaged :
       {good.substr(0, 6), good.substr(0, good.size() - 2),
        good.substr(0, 4) + std::string("\x10\x00\x00\x00", 4) + good.substr(8),
        good.substr(0, 4) + std::string("\xff\xff\xff\x7f", 4) + good.substr(8)}) {
    std::ofstream(blob, std::ios::binary | std::ios::trunc) << damaged;
    EXPECT_EQ(fetched("/d/f.txt @ 2025-03-07_01:00:00"), "<none>");
  }

  // A path with a line ending would forge records: it is not recorded.
  anywhen_event(ANYWHEN_DELETE, "/d/x\n$ 0123 /forged", nullptr);
  EXPECT_EQ(day_log("2025-03", "07").find("forged"), std::string::npos);
}

TEST_F(History, MalformedQueriesGiveNothing) {
  write("/q.txt", "q");
  for (const char *q : {"", "@", "/q.txt", "/q.txt @", "/q.txt @ 2025-03-0", "/q.txt @ 2025-13-07",
                        "/q.txt @ 2025-03-32", "/q.txt @ 2025-00-07", "/q.txt @ 20x5-03-07",
                        "/q.txt @ 2025-03-07_25:00:00", "/q.txt @ 2025-03-07_12:61:00",
                        "@ 2025-03-07_12:00:00", "/q.txt @ -025-03-07_12:00:00"}) {
    EXPECT_EQ(fetched(q), "<none>") << q;
    EXPECT_EQ(listed("_list_anywhen_folder_moment", q), "<nothing>") << q;
    std::string day = listed("_list_anywhen_by_day", q);
    EXPECT_TRUE(day == "<nothing>" || day == "") << q << ": " << day;
  }
  // The separators of a moment may be any byte; a day needs exactly 10 bytes.
  EXPECT_EQ(fetched("/q.txt @ 2025-03-07 00.00.00"), "q");
  EXPECT_EQ(listed("_list_anywhen_by_day", "/q.txt @ 2025-03-07x"), "<nothing>");
  EXPECT_EQ(listed("_list_anywhen_by_day", "/q.txt @ 2025-03-07"), "00:00:00");
  for (auto [year, month] : {std::pair{2023, 12}, {2025, 0}, {2025, 13}, {2124, 1}})
    EXPECT_EQ(anywhen_month_index(year, month), -1) << year << "-" << month;
  EXPECT_EQ(anywhen_check_location_by_day("/q.txt", 2025, 3, 0), 0);
  EXPECT_EQ(anywhen_check_location_by_day("/q.txt", 2025, 3, 7), 1);
}

// The month's filter is rebuilt after writes, deletions and new folders.
TEST_F(History, FiltersFollowEveryKindOfChange) {
  fs::create_directories(root("r"));
  std::ofstream(root("r/z.txt")) << "z";
  write("/w.txt", "w");  // the day's branch holds /r/z.txt
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/r/"), "");
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/m"), "");
  ASSERT_EQ(delete_path("/r/z.txt"), 0);
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/r/"), "2025-03-07");
  ASSERT_EQ(pmkdir("/m"), 0);
  EXPECT_EQ(listed("_list_anywhen_by_loc", "/m"), "2025-03-07");
  for (int i = 0; i < 3; i++) {
    write("/w.txt", "w" + std::to_string(i));
    EXPECT_EQ(anywhen_check_location_by_month("/w.txt", 2025, 3), 1);
  }
  EXPECT_TRUE(monthly_bloom[anywhen_month_index(2025, 3)].built);
  EXPECT_FALSE(monthly_bloom[anywhen_month_index(2026, 1)].initialised);
}

// The daily branch takes what a path can name on host folders: no hidden
// names, names a path cannot hold, *.bin folders or links to folders.
TEST_F(History, DailyBranchWalksHostFoldersSafely) {
  fs::create_directories(root("sub/inner"));
  fs::create_directories(root("tools.bin"));
  for (const char *f : {"keep.txt", ".hidden.txt", "bad name.txt", "sub/s.txt", "sub/inner/i.txt",
                        "tools.bin/t.txt"})
    std::ofstream(root(f)) << f;
  fs::create_directory_symlink(root("sub"), root("linkdir"));
  fs::create_symlink(root("keep.txt"), root("linkfile.txt"));
  ASSERT_EQ(pmkdir("/made"), 0);
  std::string log = day_log("2025-03", "07");
  for (const char *line :
       {": HASH /keep.txt", ": HASH /linkfile.txt", "^ /sub/", ": HASH /sub/s.txt", "^ /sub/inner/",
        ": HASH /sub/inner/i.txt", "> /made"}) {
    std::string l = line;
    if (l.find("HASH") != std::string::npos) {
      std::string rel = l.substr(7);
      l = ": " + hash_of(read_file(root(rel.substr(1)))) + " " + rel;
    }
    EXPECT_EQ(count_lines(log, l, true), 1) << line;
  }
  for (const char *absent : {"hidden", "bad name", "tools.bin", "linkdir"})
    EXPECT_EQ(log.find(absent), std::string::npos) << absent;
  EXPECT_EQ(fetched("/sub/inner/i.txt @ 2025-03-07_12:00:00"), "sub/inner/i.txt");
}

TEST_F(History, TooDeepABranchStopsTheWalkNotTheProgram) {
  std::string deep = root("deep");
  fs::create_directory(deep);
  for (int i = 0; i < ANYWHEN_MAX_DEPTH + 5; i++) fs::create_directory(deep += "/d");
  ASSERT_EQ(pmkdir("/after"), 0);
  std::string log = day_log("2025-03", "07");
  EXPECT_EQ(count_lines(log, "^ /deep"), ANYWHEN_MAX_DEPTH);
  EXPECT_EQ(count_lines(log, "> /after"), 1);
  EXPECT_NE(log_text().find("** anywhen exceeded maximum depth (1024). circular mount?"),
            std::string::npos);
}

TEST_F(History, NothingIsRecordedWhileTheSettingIsOff) {
  config.anywhen = 0;
  write("/off.txt", "x");
  anywhen_open();
  EXPECT_FALSE(fs::exists(store("")));
  config.anywhen = 1;
  anywhen_event(ANYWHEN_OPEN_LOG, nullptr, nullptr);  // the log and its branch only
  std::string log = day_log("2025-03", "07");
  EXPECT_EQ(log, ": " + hash_of("x") + " /off.txt\n");
}

}  // namespace

namespace {

TEST_F(History, TornLastLineDoesNotSwallowTheNextRecord) {
  at(2025, 6, 10, 10, 30, 0);
  write("/big.txt", "first");
  // a kill in the middle of the next append leaves half a line
  std::string log = store("2025-06/10.log");
  std::ofstream(log, std::ios::binary | std::ios::app) << "@ 2025-06-10_10:4";
  EXPECT_EQ(fetched("/big.txt @ 2025-06-10_10:45:00"), "first");
  at(2025, 6, 10, 11, 0, 0);
  anywhen_open();  // the next run's time mark
  write("/big.txt", std::string(2000, 'x'));
  EXPECT_EQ(fetched("/big.txt @ 2025-06-10_10:45:00"), "first");
  EXPECT_EQ(fetched("/big.txt @ 2025-06-10_11:00:00"), std::string(2000, 'x'));
  EXPECT_EQ(count_lines(day_log("2025-06", "10"), "@ 2025-06-10_11:00:00 __start_session", true), 1)
      << day_log("2025-06", "10");
}

// A record cut short (a full disk mid-append) is cut off before the next
// one: its text never becomes a line, so the path cut to "/docs/quarte"
// names no file in listings or fetches.
TEST_F(History, TornRecordIsCutBeforeTheNextAppend) {
  at(2025, 6, 10, 10, 30, 0);
  ASSERT_EQ(pmkdir("/docs"), 0);
  write("/docs/quarter.txt", "q1");
  std::string log = store("2025-06/10.log");
  std::ofstream(log, std::ios::binary | std::ios::app)
      << "@ 2025-06-10_10:40:00\n$ " << hash_of("q1") << " /docs/quarte";
  at(2025, 6, 10, 11, 0, 0);
  write("/docs/other.txt", "o");
  std::string day = day_log("2025-06", "10");
  EXPECT_EQ(day.find("/docs/quarte\n"), std::string::npos) << day;
  EXPECT_EQ(count_lines(day, "@ 2025-06-10_11:00:00", true), 1);
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/docs @ 2025-06-10_12:00:00"),
            "other.txt quarter.txt");
  EXPECT_EQ(fetched("/docs/quarte @ 2025-06-10_12:00:00"), "<none>");
  EXPECT_EQ(fetched("/docs/other.txt @ 2025-06-10_12:00:00"), "o");
  // a log that is one torn line only is emptied, not removed
  std::ofstream(store("2025-06/11.log"), std::ios::binary) << "$ " << hash_of("q1") << " /x";
  at(2025, 6, 11, 9, 0, 0);
  write("/docs/other.txt", "o2");
  EXPECT_EQ(day_log("2025-06", "11").find(" /x"), std::string::npos);
  EXPECT_EQ(fetched("/docs/other.txt @ 2025-06-11_10:00:00"), "o2");
}

TEST_F(History, DamagedButDecodableVersionsGiveNothing) {
  write("/v.txt", "original text");
  std::string blob = store("blob/" + hash_of("original text") + ".lz4");
  std::string bytes = read_file(blob);
  // the last literal byte changed: the block still decodes to 13 bytes
  bytes.back() = char(bytes.back() ^ 1);
  std::ofstream(blob, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(fetched("/v.txt @ 2025-03-07_01:00:00"), "<none>");
  EXPECT_NE(log_text().find("[anywhen] damaged version " + hash_of("original text")),
            std::string::npos);
}

TEST_F(History, DeletionsAreRecordedOnlyWhenTheyHappen) {
  at(2025, 3, 7, 9, 0, 0);
  ASSERT_EQ(pmkdir("/full"), 0);
  write("/full/f.txt", "kept");
  write("/gone.txt", "short-lived");
  at(2025, 3, 7, 10, 0, 0);
  delete_path("/full");         // refused: the folder has contents
  delete_path("/missing.txt");  // nothing there
  delete_path("/gone.txt");
  std::string day = day_log("2025-03", "07");
  EXPECT_EQ(count_lines(day, "- /full", true), 0);
  EXPECT_EQ(count_lines(day, "- /missing.txt", true), 0);
  EXPECT_EQ(count_lines(day, "- /gone.txt", true), 1);
  EXPECT_EQ(fetched("/gone.txt @ 2025-03-07_09:30:00"), "short-lived");
  EXPECT_EQ(fetched("/gone.txt @ 2025-03-07_10:30:00"), "<none>");
  EXPECT_EQ(listed("_list_anywhen_folder_moment", "/ @ 2025-03-07_10:30:00"), "full");
  at(2025, 3, 7, 11, 0, 0);
  write("/gone.txt", "back");
  EXPECT_EQ(fetched("/gone.txt @ 2025-03-07_11:30:00"), "back");
}

TEST_F(History, NewFoldersAreRecordedOnlyWhenMade) {
  at(2025, 3, 7, 9, 0, 0);
  write("/f.txt", "in the way");
  ASSERT_EQ(pmkdir("/there"), 0);
  ASSERT_EQ(pmkdir("/locked"), 0);
  fs::permissions(root("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  // a parent that refuses only refuses where permissions hold (not for root)
  const bool locked_refuses = access(root("locked").c_str(), W_OK) != 0;
  at(2025, 3, 7, 10, 0, 0);
  for (const char *path : {"/there", "/f.txt", "/f.txt/sub", "/no/sub", "/locked/sub"}) {
    if (std::string(path) == "/locked/sub" && !locked_refuses) continue;
    EXPECT_NE(pmkdir(path), 0) << path;
  }
  ASSERT_EQ(pmkdir("/made"), 0);
  fs::permissions(root("locked"), fs::perms::owner_all);
  std::string day = day_log("2025-03", "07");
  for (const char *path : {"/there", "/locked", "/made"})
    EXPECT_EQ(count_lines(day, std::string("> ") + path, true), 1) << path;
  for (const char *path : {"/f.txt", "/f.txt/sub", "/no/sub", "/locked/sub"})
    EXPECT_EQ(count_lines(day, std::string("> ") + path, true), 0) << path;
  EXPECT_TRUE(fs::is_regular_file(root("f.txt")));
  EXPECT_FALSE(fs::exists(root("no")));
}

}  // namespace
