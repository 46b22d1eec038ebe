// The file history's readers on arbitrary day logs. The input's first line is
// a query, the rest the day log of 2025-03-07; "%h" in the input stands for
// the hash of a version stored beforehand ("hello, history\n"), so that
// version lines and deltas reach real bytes. Loading the log into the table,
// filling the month's filter and the four queries must all end cleanly.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/clock.h"
#include "base/config.h"
#include "lang/lua_api.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "anywhen/anywhen.h"
#include "anywhen/anywhen_query.h"
#include "anywhen/anywhen_store.h"

static lua_State *L;
static std::string seed_hash;
static std::string log_path;

static uint64_t fake_clock() { return 1741338000000ull; }  // 2025-03-07 09:00:00 UTC

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!freopen("/dev/null", "w", stdout)) abort();
  char tmpl[] = "/tmp/anywhen_fuzz_XXXXXX";
  static std::string home = mkdtemp(tmpl);
  atexit([] { std::filesystem::remove_all(home); });
  snprintf(config.home, sizeof config.home, "%s/home", home.c_str());
  config.anywhen = 1;
  clock_test_source = fake_clock;
  pfile_init();
  mount_host_path("/", home.c_str());
  std::ofstream(home + "/seed.txt") << "hello, history\n";
  anywhen_event(ANYWHEN_WRITE, "/seed.txt", (home + "/seed.txt").c_str());
  seed_hash = htable_get(anywhen_tbl, "/seed.txt");
  log_path = anywhen_day_log_path(2025, 3, 7);
  L = luaL_newstate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string in(reinterpret_cast<const char *>(data), size);
  for (size_t at; (at = in.find("%h")) != std::string::npos;) in.replace(at, 2, seed_hash);
  size_t nl = in.find('\n');
  std::string query = in.substr(0, nl);
  query = query.c_str();  // a C text ends at its first zero byte
  std::ofstream(log_path, std::ios::binary | std::ios::trunc)
      << (nl == std::string::npos ? "" : in.substr(nl + 1));

  current_log_path.clear();
  anywhen_event(ANYWHEN_OPEN_LOG, nullptr, nullptr);  // loads the table from the log
  invalidate_bloom_by_month(2025, 3);
  pbuffer_owner version(anywhen_fetch(query.c_str()));
  if (version && (version->length < 0 || version->length > 64 * 1024 * 1024)) abort();
  lua_settop(L, 0);
  anywhen_list_by_day(L, query.c_str());
  anywhen_list_by_folder_moment(L, query.c_str());
  anywhen_list_by_loc(L, query.c_str());
  if (lua_gettop(L) > 3) abort();
  lua_settop(L, 0);
  return 0;
}
