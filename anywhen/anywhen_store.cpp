// The file history's store: day logs, blobs and deltas, and the events that
// fill them.
#include "anywhen/anywhen_store.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include <lz4.h>
#include <lz4hc.h>

#include "base/clock.h"
#include "base/config.h"
#include "base/klog.h"
#include "base/paths.h"
#include "pod/delta.h"
#include "pod/murmur3.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "anywhen/anywhen.h"
#include "anywhen/anywhen_query.h"

htable *anywhen_tbl;
std::string current_log_path;

anywhen_time anywhen_now() {
  time_t now = (time_t)clock_utc_seconds();
  struct tm t {};
  gmtime_r(&now, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

std::string anywhen_moment_text(const anywhen_time &t) {
  char s[64];
  snprintf(s, sizeof s, "%04d-%02d-%02d_%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
           t.second);
  return s;
}

std::string anywhen_host_path(const std::string &rel) {
  std::string out(1025 + rel.size(), '\0');
  paths_prefix_appdata(rel.c_str(), out.data());
  out.resize(strlen(out.c_str()));
  return out;
}

static std::string month_folder(int year, int month) {
  char s[32];
  snprintf(s, sizeof s, "anywhen/%04d-%02d", year, month);
  return s;
}

std::string anywhen_day_log_path(int year, int month, int day, const std::string *store) {
  char s[32];
  snprintf(s, sizeof s, "%04d-%02d/%02d.log", year, month, day);
  return store ? *store + s : anywhen_host_path(std::string("anywhen/") + s);
}

bool anywhen_host_file_exists(const std::string &host_path) {
  struct stat st;
  return stat(host_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool anywhen_read_line(FILE *f, std::string &line) {
  do {
    line.clear();
    int c;
    while ((c = getc(f)) == '\r' || c == '\n') {}
    if (c == EOF) return false;
    do {
      if (line.size() < ANYWHEN_LINE_MAX) line += (char)c;
    } while ((c = getc(f)) != EOF && c != '\n' && c != '\r');
    // A last line without its line end was cut by a kill mid-append.
    if (c == EOF) return false;
    while (!line.empty() && (unsigned char)line.back() <= 32) line.pop_back();
  } while (line.empty());  // a line of blanks only
  return true;
}

bool anywhen_is_hash(const char *s) {
  for (int i = 0; i < ANYWHEN_HASH_DIGITS; i++)
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  return true;
}

static std::string blob_path(const char *hash) {
  return anywhen_host_path(std::string("anywhen/blob/") + hash + ".lz4");
}

static std::string plain_copy_path(int year, int month, const char *hash) {
  return anywhen_host_path(month_folder(year, month) + "/pod/" + hash);
}

// The name of a version: its hash as ANYWHEN_HASH_DIGITS hex digits.
static void version_hash(const pbuffer *file, char hash[ANYWHEN_HASH_DIGITS + 1]) {
  uint64_t h[2];
  murmurhash3_x64_128(file->data, file->length, 0, h);
  for (int i = 0; i < 16; i++) {
    uint8_t byte = (uint8_t)(h[i / 8] >> (8 * (i % 8)));
    hash[2 * i] = hex_char[byte >> 4];
    hash[2 * i + 1] = hex_char[byte & 15];
  }
  hash[ANYWHEN_HASH_DIGITS] = 0;
}

// The version held by a blob, or null (a damaged blob is logged).
static pbuffer *decode_blob(const pbuffer *blob) {
  if (blob->length < 8) return nullptr;
  const uint8_t *d = blob->data;
  uint32_t packed = d[0] | d[1] << 8 | d[2] << 16 | (uint32_t)d[3] << 24;
  uint32_t raw = d[4] | d[5] << 8 | d[6] << 16 | (uint32_t)d[7] << 24;
  if (packed > (uint32_t)blob->length - 8 || raw >= (uint32_t)ANYWHEN_MAX_FILE) {
    klog("[anywhen] damaged blob: lengths %u %u in %d bytes\n", packed, raw, blob->length);
    return nullptr;
  }
  pbuffer *out = create_buffer_2((int32_t)raw + 256, 'p');
  int got =
      LZ4_decompress_safe((const char *)d + 8, (char *)out->data, (int)packed, (int)raw + 256);
  if (got != (int)raw) {
    printf("[anywhen blob decompression] ** uncompressed_len != raw_len %d %d\n", got, (int)raw);
    klog("[anywhen blob decompression] ** uncompressed_len != raw_len %d %d\n", got, (int)raw);
    destroy_buffer(out);
    return nullptr;
  }
  out->length = (int32_t)raw;
  out->cursor = 0;
  return out;
}

pbuffer *anywhen_load_version(int year, int month, const char *hash) {
  if (!hash || !anywhen_is_hash(hash) || hash[ANYWHEN_HASH_DIGITS] != 0) return nullptr;
  pbuffer *version = create_buffer_from_file(plain_copy_path(year, month, hash).c_str());
  if (!version) {
    pbuffer_owner blob(create_buffer_from_file(blob_path(hash).c_str()));
    version = blob ? decode_blob(blob.get()) : nullptr;
  }
  if (!version) return nullptr;
  // A version is named by its hash: bytes that still decode after damage
  // are not that version.
  char got[ANYWHEN_HASH_DIGITS + 1];
  version_hash(version, got);
  if (strcmp(got, hash) != 0) {
    klog("[anywhen] damaged version %s: its bytes hash to %s\n", hash, got);
    destroy_buffer(version);
    return nullptr;
  }
  version->cursor = 0;
  return version;
}

// Writes the blob of a version atomically; false (logged) on failure.
static bool write_blob(const char *hash, const pbuffer *file) {
  std::string path = blob_path(hash);
  int bound = LZ4_compressBound(file->length);
  pbuffer_owner blob(create_buffer_2(bound + 16, 'p'));
  int packed =
      LZ4_compress_HC((const char *)file->data, (char *)blob->data + 8, file->length, bound, 9);
  bool ok = packed > 0 || file->length == 0;
  if (ok) {
    bwrite_uint32((uint32_t)packed, blob.get());
    bwrite_uint32((uint32_t)file->length, blob.get());
    blob->length = 8 + packed;
    pbuffer *tmp_path = nullptr;
    FILE *tmp = host_write_begin(path.c_str(), &tmp_path);
    ok = tmp && host_write_finish(tmp, tmp_path, path.c_str(), blob.get(), 0) == 0;
    destroy_buffer(tmp_path);
  }
  if (!ok) klog("[anywhen] couldn't write blob %s\n", path.c_str());
  return ok;
}

static void write_delta_lines(FILE *log, const pbuffer *delta) {
  for (int32_t at = 0; at < delta->length; at += ANYWHEN_DELTA_LINE_BYTES) {
    fputs("| ", log);
    int32_t end = std::min(delta->length, at + ANYWHEN_DELTA_LINE_BYTES);
    for (int32_t i = at; i < end; i++) fprintf(log, "%02x", delta->data[i]);
    fputc('\n', log);
  }
}

// A delta from the file's base of the day, when the table has a base that
// loads and the delta is small enough to be worth keeping; else null.
static pbuffer *small_delta(const char *path, const pbuffer *file, const anywhen_time &now,
                            const char **base_out) {
  const char *base = htable_get(anywhen_tbl, path);
  if (!base) return nullptr;
  pbuffer_owner old(anywhen_load_version(now.year, now.month, base));
  if (!old) return nullptr;  // stored whole, so no line depends on a missing base
  pbuffer *delta = generate_diff(old->data, old->length, file->data, file->length);
  if (delta && delta->length <= ANYWHEN_DELTA_MAX &&
      (delta->length <= ANYWHEN_DELTA_SMALL ||
       delta->length <= file->length / ANYWHEN_DELTA_FRACTION)) {
    *base_out = base;
    return delta;
  }
  destroy_buffer(delta);
  return nullptr;
}

// Records the file at host_path as the version of path: a daily-branch line
// in branch mode, else a time mark and a delta or a version line.
static void store_file_checkpoint(FILE *log, const char *path, const char *host_path, bool branch) {
  pbuffer_owner file(create_buffer_2(65536, 'p'));
  if (host_file_read(host_path, file.get(), ANYWHEN_MAX_FILE) != 0) return;
  if (file->length >= ANYWHEN_MAX_FILE) return;

  char hash[ANYWHEN_HASH_DIGITS + 1];
  version_hash(file.get(), hash);

  anywhen_time now = anywhen_now();
  std::string moment = anywhen_moment_text(now);
  if (!branch) {
    const char *base = nullptr;
    pbuffer_owner delta(small_delta(path, file.get(), now, &base));
    if (delta) {
      // The table keeps the base: later deltas of the day use it too.
      fprintf(log, "@ %s\n+ %s %s\n", moment.c_str(), base, path);
      write_delta_lines(log, delta.get());
      return;
    }
  }
  bool stored = anywhen_host_file_exists(plain_copy_path(now.year, now.month, hash)) ||
                anywhen_host_file_exists(blob_path(hash));
  if (!stored && !write_blob(hash, file.get())) return;
  if (branch)
    fprintf(log, ": %s %s\n", hash, path);
  else
    fprintf(log, "@ %s\n$ %s %s\n", moment.c_str(), hash, path);
  htable_insert_str(anywhen_tbl, path, hash);
}

static bool is_path_name(const char *name) {
  for (const char *c = name; *c; c++)
    if (!is_path_char((unsigned char)*c)) return false;
  return true;
}

// Walks the workstation folder: a "^" line for it (not for the root), then
// every file of its host folder checkpointed in branch mode and every
// subfolder walked, in name order. Hidden names, names a path cannot hold,
// folders named *.bin and symbolic links to folders are left out. False once
// the walk is too deep (logged), which ends the whole walk.
static bool generate_daily_branch(FILE *log, const std::string &folder, int depth) {
  if (depth > ANYWHEN_MAX_DEPTH) {
    klog("** anywhen exceeded maximum depth (%d). circular mount?\n", ANYWHEN_MAX_DEPTH);
    return false;
  }
  bool root = folder == "/";
  if (!root) fprintf(log, "^ %s/\n", folder.c_str());
  uint32_t kind = 0;
  pbuffer_owner origin(resolve_to_origin(folder.c_str(), &kind, 0));
  if (origin->length == 0 || kind != MOUNT_HOST) return true;
  std::string host = to_cstr(origin.get());
  std::vector<std::string> names;
  if (DIR *dir = opendir(host.c_str())) {
    while (struct dirent *e = readdir(dir))
      if (e->d_name[0] != '.' && is_path_name(e->d_name)) names.push_back(e->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string path = (root ? "/" : folder + "/") + name;
    std::string host_child = host + "/" + name;
    struct stat st;
    if (lstat(host_child.c_str(), &st) != 0) continue;
    bool link = S_ISLNK(st.st_mode);
    if (link && stat(host_child.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      store_file_checkpoint(log, path.c_str(), host_child.c_str(), true);
    } else if (S_ISDIR(st.st_mode) && !link && strcmp(get_ext(name.c_str()), "bin") != 0) {
      if (!generate_daily_branch(log, path, depth + 1)) return false;
    }
  }
  return true;
}

static void load_log(const std::string &log_path) {
  FILE *f = fopen(log_path.c_str(), "rb");
  if (!f) return;
  std::string line;
  while (anywhen_read_line(f, line))
    if ((line[0] == ':' || line[0] == '$') && line.size() > ANYWHEN_PATH_AT &&
        anywhen_is_hash(line.c_str() + 2))
      htable_insert(anywhen_tbl, line.c_str() + ANYWHEN_PATH_AT, line.c_str() + 2,
                    ANYWHEN_HASH_DIGITS);
  fclose(f);
}

static void new_table() {
  destroy_htable(anywhen_tbl);
  anywhen_tbl = create_htable(ANYWHEN_TABLE_SLOTS);
}

// Makes the day log current: loads its table, or creates it with the daily
// branch.
static void open_day_log(const std::string &log_path) {
  if (anywhen_host_file_exists(log_path)) {
    if (log_path != current_log_path || !anywhen_tbl) {
      klog("[anywhen] loading log file: %s\n", log_path.c_str());
      new_table();
      load_log(log_path);
    }
  } else {
    new_table();
    if (FILE *log = fopen(log_path.c_str(), "ab")) {
      klog("[anywhen] generating new log file: %s\n", log_path.c_str());
      generate_daily_branch(log, "/", 0);
      fclose(log);
    } else {
      klog("[anywhen] ** could not open new log file: %s\n", log_path.c_str());
    }
  }
  current_log_path = log_path;
}

// Cuts a last line that has no line end (a partial append: a kill, a full
// disk) back off the log, so that its text can never become part of a record
// once the next append ends it. The bytes before stay.
static void cut_torn_last_line(FILE *log) {
  int fd = fileno(log);
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size == 0) return;
  off_t end = st.st_size, keep = 0;
  char chunk[4096];
  for (off_t at = end; at > 0 && keep == 0;) {
    off_t from = at > (off_t)sizeof chunk ? at - (off_t)sizeof chunk : 0;
    ssize_t n = pread(fd, chunk, size_t(at - from), from);
    if (n != at - from) return;  // unreadable: leave it as it is
    for (ssize_t i = n - 1; i >= 0; i--)
      if (chunk[i] == '\n') {
        keep = from + i + 1;
        break;
      }
    at = from;
  }
  if (keep == end) return;
  if (ftruncate(fd, keep) == 0)
    klog("[anywhen] cut %lld bytes of a torn last record from %s\n", (long long)(end - keep),
         current_log_path.c_str());
}

// Opens a day log for appending, a torn last line cut off first.
static FILE *open_log_to_append(const std::string &path) {
  FILE *log = fopen(path.c_str(), "a+b");  // read too: the torn tail is looked for
  if (!log) return nullptr;
  cut_torn_last_line(log);
  return log;
}

static bool has_control_byte(const char *s) {
  for (; s && *s; s++)
    if ((unsigned char)*s < 32) return true;
  return false;
}

void anywhen_event(int kind, const char *path, const char *host_path) {
  if (!config.anywhen || (path && strstr(path, ".bin/"))) return;
  // A line ending inside a path would forge records.
  if (has_control_byte(path)) return;
  if ((kind == ANYWHEN_WRITE || kind == ANYWHEN_DELETE || kind == ANYWHEN_MKDIR) &&
      (!path || !path[0] || (kind == ANYWHEN_WRITE && !host_path)))
    return;

  anywhen_time now = anywhen_now();
  std::string month = month_folder(now.year, now.month);
  paths_mkdir(anywhen_host_path("anywhen").c_str());
  paths_mkdir(anywhen_host_path("anywhen/blob").c_str());
  paths_mkdir(anywhen_host_path(month).c_str());
  open_day_log(anywhen_day_log_path(now.year, now.month, now.day));
  if (kind == ANYWHEN_OPEN_LOG) return;

  FILE *log = open_log_to_append(current_log_path);
  if (!log) {
    printf("[anywhen] couldn't open log file to append\n");
    return;
  }
  switch (kind) {
    case ANYWHEN_WRITE:
      store_file_checkpoint(log, path, host_path, false);
      break;
    // Deletions and new folders get their own time mark: under the mark of
    // an earlier record they would seem to have happened before it.
    case ANYWHEN_DELETE:
      fprintf(log, "@ %s\n- %s\n", anywhen_moment_text(now).c_str(), path);
      break;
    case ANYWHEN_MKDIR:
      fprintf(log, "@ %s\n> %s\n", anywhen_moment_text(now).c_str(), path);
      break;
    case ANYWHEN_TIME_MARK:
      if (path)
        fprintf(log, "@ %s %s\n", anywhen_moment_text(now).c_str(), path);
      else
        fprintf(log, "@ %s\n", anywhen_moment_text(now).c_str());
      break;
    default:
      break;
  }
  fclose(log);
  // Writes, deletions and new folders all add keys to the month's filter.
  if (kind == ANYWHEN_WRITE || kind == ANYWHEN_DELETE || kind == ANYWHEN_MKDIR)
    invalidate_bloom_by_month(now.year, now.month);
}

void anywhen_open() {
  // Versions and logs half-written when a run was killed.
  host_remove_stale_temp_files(anywhen_host_path("anywhen").c_str());
  current_log_path.clear();
  anywhen_event(ANYWHEN_TIME_MARK, "__start_session", nullptr);
}

void anywhen_close() {
  destroy_htable(anywhen_tbl);
  anywhen_tbl = nullptr;
}

void anywhen_reset() {
  anywhen_close();
  current_log_path.clear();
  anywhen_free_filters();
}
