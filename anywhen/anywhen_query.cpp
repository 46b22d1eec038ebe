// The file history's queries: which days a path was touched, the moments of
// one day, a folder's entries at a moment, and a file's bytes at a moment.
#include "anywhen/anywhen_query.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "lang/lua_api.h"
#include "pod/delta.h"
#include "pdisk/listing.h"
#include "pdisk/path.h"
#include "anywhen/anywhen.h"
#include "anywhen/anywhen_store.h"
#include "anywhen/htable.h"

#if !KVD_HAVE_BLOOM_INIT2
// The library before version 2 calls it bloom_init.
static int bloom_init2(struct bloom *b, unsigned int entries, double error) {
  return bloom_init(b, (int)entries, error);
}
#endif

anywhen_month_filter monthly_bloom[ANYWHEN_MONTHS];

int anywhen_month_index(int year, int month) {
  if (month < 1 || month > 12) return -1;
  int64_t i = (int64_t)year * 12 + month - (ANYWHEN_FIRST_YEAR * 12 + 1);
  return i >= 0 && i < ANYWHEN_MONTHS ? (int)i : -1;
}

struct bloom *get_bloom_by_month(int year, int month) {
  int i = anywhen_month_index(year, month);
  if (i < 0) return nullptr;
  anywhen_month_filter &m = monthly_bloom[i];
  if (!m.built) {
    if (!m.initialised) {
      if (bloom_init2(&m.filter, ANYWHEN_BLOOM_ENTRIES, ANYWHEN_BLOOM_ERROR) != 0) return nullptr;
      m.initialised = true;
    }
    anywhen_add_month_to_bloom(year, month, &m.filter);
    m.built = true;
  }
  return &m.filter;
}

void invalidate_bloom_by_month(int year, int month) {
  int i = anywhen_month_index(year, month);
  if (i < 0) return;
  anywhen_month_filter &m = monthly_bloom[i];
  if (m.initialised) bloom_reset(&m.filter);  // keeps its storage for the rebuild
  m.built = false;
}

void anywhen_free_filters() {
  for (anywhen_month_filter &m : monthly_bloom) {
    if (m.initialised) bloom_free(&m.filter);
    m = anywhen_month_filter{};
  }
}

static std::string day_key(const std::string &path, int day) {
  return path + "@@" + std::to_string(day);
}

static int check(struct bloom *b, const std::string &key) {
  return b && bloom_check(b, key.data(), (int)key.size()) == 1;
}

int anywhen_check_location_by_month(const char *path, int year, int month) {
  return check(get_bloom_by_month(year, month), path);
}

int anywhen_check_location_by_day(const char *path, int year, int month, int day) {
  if (day < 1 || day > 31) return 0;
  return check(get_bloom_by_month(year, month), day_key(path, day));
}

// The path of a log line: from byte 35 of "$", "+" and ":" lines, from byte 2
// of "-", ">" and "^" lines; empty for other lines and for damaged ones.
static std::string line_path(const std::string &line) {
  switch (line[0]) {
    case '$':
    case '+':
    case ':':
      if (line.size() > ANYWHEN_PATH_AT && anywhen_is_hash(line.c_str() + 2))
        return line.substr(ANYWHEN_PATH_AT);
      return "";
    case '-':
    case '>':
    case '^':
      return line.size() > 2 ? line.substr(2) : "";
    default:
      return "";
  }
}

// The folder holding path, ending in "/" (a trailing "/" of path ignored);
// empty when path holds no "/".
static std::string parent_folder(const std::string &path) {
  size_t end = path.size() > 1 && path.back() == '/' ? path.size() - 1 : path.size();
  size_t slash = path.rfind('/', end - 1);
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The moment of an "@" line, or empty.
static std::string mark_moment(const std::string &line) {
  return line[0] == '@' && line.size() >= 2 + ANYWHEN_MOMENT_LENGTH
             ? line.substr(2, ANYWHEN_MOMENT_LENGTH)
             : "";
}

int anywhen_add_month_to_bloom(int year, int month, struct bloom *b) {
  int added = 0;
  auto add = [&](const std::string &key, int day) {
    bloom_add(b, key.data(), (int)key.size());
    std::string k = day_key(key, day);
    bloom_add(b, k.data(), (int)k.size());
    added += 2;
  };
  std::string line, store = anywhen_host_path("anywhen/");
  for (int day = 1; day <= 31; day++) {
    FILE *f = fopen(anywhen_day_log_path(year, month, day, &store).c_str(), "rb");
    if (!f) continue;
    htable *branch = create_htable(ANYWHEN_TABLE_SLOTS);
    while (anywhen_read_line(f, line)) {
      char kind = line[0];
      std::string path = line_path(line);
      if (path.empty()) continue;
      if (kind == ':') {
        htable_insert(branch, path.c_str(), nullptr, 0);
        continue;
      }
      if (kind == '$' || kind == '+' || kind == '>') add(path, day);
      bool parent = kind == '-' || kind == '>' ||
                    ((kind == '$' || kind == '+') && !htable_get(branch, path.c_str()));
      std::string folder = parent_folder(path);
      if (parent && !folder.empty()) add(folder, day);
    }
    destroy_htable(branch);
    fclose(f);
  }
  return added;
}

// Splits a query: the path before the byte ahead of the first "@", and what
// follows the byte after it. False without "@".
static bool split_query(const char *query, std::string &path, std::string &when) {
  const char *at = query ? strchr(query, '@') : nullptr;
  if (!at) return false;
  path.assign(query, at > query ? at - query - 1 : 0);
  when = at[1] ? at + 2 : "";
  return true;
}

static bool digits(const std::string &s, size_t at, size_t n, int *out) {
  *out = 0;
  for (size_t i = at; i < at + n; i++) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    *out = *out * 10 + (s[i] - '0');
  }
  return true;
}

struct anywhen_day {
  int year, month, day;
};

// "YYYY-MM-DD" at the start of s, with a month 1..12 and a day 1..31.
static bool parse_date(const std::string &s, anywhen_day *d) {
  return digits(s, 0, 4, &d->year) && s.size() > 4 && s[4] == '-' && digits(s, 5, 2, &d->month) &&
         s.size() > 7 && s[7] == '-' && digits(s, 8, 2, &d->day) && d->month >= 1 &&
         d->month <= 12 && d->day >= 1 && d->day <= 31;
}

// A moment: its first 19 bytes with the separators at 10, 13 and 16 taken as
// "_", ":" and ":"; false unless date and time are digits in range.
static bool parse_moment(std::string &s, anywhen_day *d) {
  if (s.size() < (size_t)ANYWHEN_MOMENT_LENGTH) return false;
  s.resize(ANYWHEN_MOMENT_LENGTH);
  s[10] = '_';
  s[13] = s[16] = ':';
  int h, m, sec;
  return parse_date(s, d) && digits(s, 11, 2, &h) && digits(s, 14, 2, &m) &&
         digits(s, 17, 2, &sec) && h < 24 && m < 60 && sec < 61;
}

static std::string date_text(const anywhen_day &d) {
  char s[32];
  snprintf(s, sizeof s, "%04d-%02d-%02d", d.year, d.month, d.day);
  return s;
}

// The day's log, or the nearest earlier one: day 1 steps to day 31 of the
// month before. Gives up (false) after day 1 of a month up to April of a year
// up to the first year of the history. A year past the latest one that can
// hold a log (2030, or the current year once later) is taken as that year,
// so that no query walks back through centuries.
static bool find_day_log(anywhen_day *d, std::string *log_path) {
  int latest = std::max(ANYWHEN_LATEST_YEAR, anywhen_now().year);
  if (d->year > latest) d->year = latest;
  std::string store = anywhen_host_path("anywhen/");
  for (;;) {
    *log_path = anywhen_day_log_path(d->year, d->month, d->day, &store);
    if (anywhen_host_file_exists(*log_path)) return true;
    if (d->day == 1 && d->month <= 4 && d->year <= ANYWHEN_FIRST_YEAR) return false;
    if (--d->day == 0) {
      d->day = 31;
      if (--d->month == 0) {
        d->month = 12;
        d->year--;
      }
    }
  }
}

// The first year with a month folder in the store, or 0 when there is none.
static int first_recorded_year() {
  int first = 0;
  if (DIR *dir = opendir(anywhen_host_path("anywhen").c_str())) {
    while (struct dirent *e = readdir(dir)) {
      int year, month;
      std::string name = e->d_name;
      if (name.size() == 7 && digits(name, 0, 4, &year) && name[4] == '-' &&
          digits(name, 5, 2, &month) && (first == 0 || year < first))
        first = year;
    }
    closedir(dir);
  }
  return first;
}

static void push_entry(lua_State *L, int *n, const std::string &s) {
  lua_pushlstring(L, s.data(), s.size());
  lua_rawseti(L, -2, ++*n);
}

int anywhen_list_by_loc(lua_State *L, const char *path) {
  lua_newtable(L);
  int first = first_recorded_year();
  if (!path || first == 0) return 1;
  if (first < ANYWHEN_FIRST_YEAR) first = ANYWHEN_FIRST_YEAR;
  int n = 0;
  for (int year = first; year <= anywhen_now().year; year++) {
    for (int month = 1; month <= 12; month++) {
      if (!anywhen_check_location_by_month(path, year, month)) continue;
      for (int day = 1; day <= 31; day++)
        if (anywhen_check_location_by_day(path, year, month, day))
          push_entry(L, &n, date_text({year, month, day}));
    }
  }
  return 1;
}

int anywhen_list_by_day(lua_State *L, const char *query) {
  std::string path, date;
  anywhen_day d;
  if (!split_query(query, path, date) || path.empty() ||
      date.size() != (size_t)ANYWHEN_DATE_LENGTH || !parse_date(date, &d))
    return 0;
  bool file = get_ext(path.c_str())[0] != 0;
  if (!file && (path.empty() || path.back() != '/')) path += '/';
  lua_newtable(L);
  if (!anywhen_check_location_by_day(path.c_str(), d.year, d.month, d.day)) return 1;
  FILE *f = fopen(anywhen_day_log_path(d.year, d.month, d.day).c_str(), "rb");
  if (!f) return 1;

  htable *seen = create_htable(ANYWHEN_TABLE_SLOTS);
  std::string moment = date + "_00:00:00", last, line;
  int n = 0;
  while (n < ANYWHEN_MAX_MOMENTS && anywhen_read_line(f, line)) {
    char kind = line[0];
    if (kind == '@') {
      std::string m = mark_moment(line);
      if (!m.empty()) moment = m;
      continue;
    }
    std::string p = line_path(line);
    if (p.empty()) continue;
    bool report = false;
    if (file) {
      report = (kind == '+' || kind == '$') && p == path;
    } else if (kind == '-') {
      htable_delete(seen, p.c_str());
    } else if (kind == ':') {
      htable_insert(seen, p.c_str(), nullptr, 0);
    } else if ((kind == '+' || kind == '$') && !htable_get(seen, p.c_str())) {
      htable_insert(seen, p.c_str(), nullptr, 0);
      std::string holder = parent_folder(p);
      const char *info = "/.info.pod";
      bool info_pod = p.size() > strlen(info) && p.ends_with(info);
      report = holder == path || (info_pod && parent_folder(holder) == path);
    }
    if (report && moment != last) {
      push_entry(L, &n, moment.substr(11));
      last = moment;
    }
  }
  destroy_htable(seen);
  fclose(f);
  return 1;
}

int anywhen_list_by_folder_moment(lua_State *L, const char *query) {
  std::string folder, moment;
  anywhen_day d;
  if (!split_query(query, folder, moment) || folder.empty() ||
      moment.size() != (size_t)ANYWHEN_MOMENT_LENGTH || !parse_moment(moment, &d))
    return 0;
  lua_newtable(L);
  std::string log_path;
  if (!find_day_log(&d, &log_path)) return 1;
  FILE *f = fopen(log_path.c_str(), "rb");
  if (!f) return 1;

  std::string prefix = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
  listing *l = create_listing();
  std::string line;
  while (anywhen_read_line(f, line)) {
    char kind = line[0];
    if (kind == '@') {
      if (mark_moment(line) > moment) break;
      continue;
    }
    std::string p = line_path(line);
    if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) continue;
    std::string child = p.substr(prefix.size());
    if (child.back() == '/') child.pop_back();
    if (child.empty() || child[0] == '.' || child.find('/') != std::string::npos) continue;
    if (get_ext(child.c_str())[0] == 0) child += '/';
    int at = listing_index_for_key(l, child.c_str());
    if (kind == '-') {
      if (at >= 0) listing_del(l, child.c_str());
    } else if (at < 0) {
      pbuffer *b = create_buffer_from_str(child.c_str());
      if (!listing_add(l, b)) destroy_buffer(b);
    }
  }
  fclose(f);
  listing_sort(l);
  int n = 0;
  for (int i = 0; i < l->count; i++) {
    std::string name = to_cstr(l->entries[i]);
    if (name.back() == '/') name.pop_back();
    push_entry(L, &n, name);
  }
  destroy_listing(l);
  return 1;
}

// Hex text to bytes, two digits a byte; an odd last digit is ignored.
static pbuffer *hex_to_buffer(const std::string &hex) {
  pbuffer *b = create_buffer_2((int32_t)(hex.size() / 2 + 1), 'p');
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bwrite_uint8(hex_digit_to_int[(uint8_t)hex[i]] * 16 + hex_digit_to_int[(uint8_t)hex[i + 1]], b);
  return b;
}

pbuffer *anywhen_fetch(const char *query) {
  std::string path, moment;
  anywhen_day d;
  if (!split_query(query, path, moment) || path.empty() || !parse_moment(moment, &d))
    return nullptr;
  std::string log_path;
  if (!find_day_log(&d, &log_path)) return nullptr;
  FILE *f = fopen(log_path.c_str(), "rb");
  if (!f) return nullptr;

  std::string hash, delta_hex, line;
  bool collecting = false;
  while (anywhen_read_line(f, line)) {
    char kind = line[0];
    if (kind == '|') {
      if (collecting) delta_hex += line.substr(std::min<size_t>(2, line.size()));
      continue;
    }
    collecting = false;
    if (kind == '@') {
      if (mark_moment(line) > moment) break;
      continue;
    }
    if ((kind == '$' || kind == ':' || kind == '+') && line_path(line) == path) {
      hash = line.substr(2, ANYWHEN_HASH_DIGITS);
      delta_hex.clear();
      collecting = kind == '+';
    } else if (kind == '-' && line_path(line) == path) {
      hash.clear();  // deleted: no version until the next write
      delta_hex.clear();
    }
  }
  fclose(f);
  if (hash.empty()) return nullptr;
  pbuffer_owner version(anywhen_load_version(d.year, d.month, hash.c_str()));
  if (!version || delta_hex.empty()) return version.release();
  pbuffer_owner delta(hex_to_buffer(delta_hex));
  return apply_diff(version->data, version->length, delta->data, delta->length);
}
