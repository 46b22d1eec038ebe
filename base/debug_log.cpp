// The debug log: lines timed in milliseconds and tagged with the current
// process id, flushed one by one. Lines written before the log may be opened
// wait in memory.
#include "base/debug_log.h"

#include <cinttypes>
#include <cstring>
#include <mutex>
#include <string>

#include "base/hooks.h"
#include "base/os_time.h"
#include "base/paths.h"

char debug_log_text[16384];

static FILE *debug_log_file = nullptr;
static bool debug_open_allowed = false;
static std::string debug_pending;  // lines written before the log could open
static std::mutex debug_mutex;     // worker threads may log too

// Lines kept before the log opens are bounded; a run that logs this much
// before start-up has decided its folder is already broken.
static constexpr size_t pending_limit = 1 << 20;

static bool open_debug_file() {
  if (debug_log_file) return true;
  if (!debug_open_allowed) return false;
  std::string path(2048 + 8, '\0');
  paths_prefix_appdata("log.txt", path.data());
  debug_log_file = fopen(path.c_str(), "wb");
  if (!debug_log_file) return false;
  fwrite(debug_pending.data(), 1, debug_pending.size(), debug_log_file);
  fflush(debug_log_file);
  debug_pending.clear();
  debug_pending.shrink_to_fit();
  return true;
}

void debug_log(const char *text) {
  if (!text) return;
  if (*text == '>') text++;
  if (*text == '<') text++;
  long long pid = base_hook.current_process_id ? (long long)base_hook.current_process_id() : 0;
  char head[64];
  snprintf(head, sizeof head, "[%06lld %03lld] ", (long long)os_get_time(), pid);
  std::lock_guard<std::mutex> lock(debug_mutex);
  if (open_debug_file()) {
    fputs(head, debug_log_file);
    fputs(text, debug_log_file);
    fflush(debug_log_file);
  } else if (!debug_open_allowed && debug_pending.size() < pending_limit) {
    debug_pending += head;
    debug_pending += text;
  }
}

void debug_log_open_allowed() {
  std::lock_guard<std::mutex> lock(debug_mutex);
  debug_open_allowed = true;
  if (!debug_pending.empty()) open_debug_file();
}

void debug_log_assert_failed(const char *expr, const char *file, int line, const char *func) {
  // The source name without folder or extension.
  const char *base = strrchr(file, '/');
  base = base ? base + 1 : file;
  const char *dot = strrchr(base, '.');
  int len = dot ? int(dot - base) : int(strlen(base));
  printf("\n** ASSERT failed: %s :: %.*s:%d in %s()\n\n", expr, len, base, line, func);
  fflush(stdout);
  exit(1);
}
