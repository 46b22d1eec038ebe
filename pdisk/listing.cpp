// Natural order, the listing container and folder listings.
#include "pdisk/listing.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "pdisk/cart_mount.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

static unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

// Compares the digit runs at *a and *b by value and moves both past them.
static int compare_digit_runs(const unsigned char **a, const unsigned char **b) {
  const unsigned char *pa = *a, *pb = *b;
  while (*pa == '0' && is_digit(pa[1])) pa++;
  while (*pb == '0' && is_digit(pb[1])) pb++;
  size_t na = 0, nb = 0;
  while (is_digit(pa[na])) na++;
  while (is_digit(pb[nb])) nb++;
  *a = pa + na;
  *b = pb + nb;
  if (na != nb) return na < nb ? -1 : 1;
  int c = memcmp(pa, pb, na);
  return c < 0 ? -1 : c > 0;
}

// A digit against another character: "." and "/" come before digits, and
// digits before every other character.
static int digit_against(unsigned char other) { return (other == '.' || other == '/') ? 1 : -1; }

static int natural_walk(const unsigned char *a, const unsigned char *b) {
  for (;;) {
    if (!*b) return *a ? 1 : 0;
    if (!*a) return -1;
    bool da = is_digit(*a), db = is_digit(*b);
    if (da && db) {
      int c = compare_digit_runs(&a, &b);
      if (c) return c;
      continue;
    }
    if (da) return digit_against(*b);
    if (db) return -digit_against(*a);
    // two other characters: by their codes, letters without regard to case
    if (upper(*a) != upper(*b)) return upper(*a) < upper(*b) ? -1 : 1;
    a++;
    b++;
  }
}

int natural_compare(const char *a, const char *b) {
  size_t na = strlen(a), nb = strlen(b);
  bool fa = na > 0 && a[na - 1] == '/', fb = nb > 0 && b[nb - 1] == '/';
  if (fa != fb) return fa ? -1 : 1;
  int c = natural_walk((const unsigned char *)a, (const unsigned char *)b);
  if (c) return c;
  c = strcmp(a, b);
  return c < 0 ? -1 : c > 0;
}

int compare_str_item(const void *a, const void *b) {
  return natural_compare(*(const char *const *)a, *(const char *const *)b);
}

int compare_listing_item(const void *a, const void *b) {
  return natural_compare(to_cstr(*(pbuffer *const *)a), to_cstr(*(pbuffer *const *)b));
}

listing *create_listing() { return (listing *)calloc(1, sizeof(listing)); }

void destroy_listing(listing *l) {
  if (!l) return;
  for (int i = 0; i < l->count; i++) destroy_buffer(l->entries[i]);
  free(l);
}

int listing_index_for_key(const listing *l, const char *key) {
  if (!l || !key) return -1;
  size_t n = strlen(key);
  for (int i = 0; i < l->count; i++) {
    const pbuffer *e = l->entries[i];
    if ((size_t)e->length == n && memcmp(e->data, key, n) == 0) return i;
  }
  return -1;
}

bool listing_add(listing *l, pbuffer *b) {
  if (!l || !b || l->count >= LISTING_CAPACITY) return false;
  l->entries[l->count++] = b;
  return true;
}

bool listing_del(listing *l, const char *key) {
  int i = listing_index_for_key(l, key);
  if (i < 0) return false;
  destroy_buffer(l->entries[i]);
  memmove(&l->entries[i], &l->entries[i + 1], sizeof(l->entries[0]) * (l->count - i - 1));
  l->entries[--l->count] = nullptr;
  return true;
}

// Sorts n items in natural order. The order puts "-" before "." by their
// codes, "." before digits and digits before "-", so three names can compare
// in a ring: the items are first put in byte order and then merged stably,
// which stays in bounds whatever the comparison says and gives one result
// for one set of names.
template <typename T, typename Text>
static void natural_sort(T *items, size_t n, Text text) {
  if (n < 2) return;
  std::sort(items, items + n, [&](const T &x, const T &y) { return strcmp(text(x), text(y)) < 0; });
  std::vector<T> scratch(n);
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi)
        scratch[k++] =
            natural_compare(text(items[j]), text(items[i])) < 0 ? items[j++] : items[i++];
      while (i < mid) scratch[k++] = items[i++];
      while (j < hi) scratch[k++] = items[j++];
    }
    std::copy(scratch.begin(), scratch.end(), items);
  }
}

void listing_sort(listing *l) {
  if (l) natural_sort(l->entries, size_t(l->count), [](pbuffer *b) { return to_cstr(b); });
}

namespace {
struct name_gatherer {
  std::vector<std::string> names;
  void add(std::string name) {
    if (names.size() < PFLIST_MAX_NAMES) names.push_back(std::move(name));
  }
};
}  // namespace

static bool is_mount_point(const std::string &path) {
  return get_mount_by_mount_point(path.c_str(), 0) != nullptr;
}

// The root "/" counts as the empty text when names are joined to it.
static std::string folder_prefix(const char *path) {
  return strcmp(path, "/") == 0 ? std::string() : std::string(path);
}

static bool gather_host(name_gatherer &g, const char *host_folder, const std::string &canon) {
  DIR *d = opendir(host_folder);
  if (!d) return false;
  while (const struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (is_mount_point(canon + "/" + e->d_name)) continue;
    std::string name = e->d_name;
    if (host_entry_is_folder(host_folder, e) && kvd_path_kind(e->d_name) == KVD_NONE) name += "/";
    g.add(name);
  }
  closedir(d);
  return true;
}

static void gather_ram(name_gatherer &g, const std::string &origin) {
  std::string prefix = origin + "/";
  std::set<std::string> subfolders;  // each looked at once, however many files it holds
  for (int i = 0; i < num_pfiles; i++) {
    const pfile_entry *f = pfile[i];
    if (!f || f->kind != PFILE_RAM) continue;
    const char *o = to_cstr(f->origin);
    if (strncmp(o, prefix.c_str(), prefix.size()) != 0) continue;
    const char *name = o + prefix.size();
    if (!name[0] || name[0] == '.') continue;
    // A file deeper down shows the subfolder it lies in, also when the
    // subfolder has no record of its own (a cartridge that names only files).
    if (const char *slash = strchr(name, '/')) {
      std::string sub(o, size_t(slash - o));
      if (subfolders.insert(sub).second && !is_mount_point(sub))
        g.add(std::string(name, size_t(slash - name)) + "/");
      continue;
    }
    if (is_mount_point(o)) continue;
    g.add(std::string(name) + ((f->attributes & PFILE_ATTR_FOLDER) ? "/" : ""));
  }
}

static void gather_mounts(name_gatherer &g, const std::string &canon) {
  std::string prefix = canon + "/";
  for (int i = 0; i < pmounts; i++) {
    const char *point = to_cstr(pmount[i].mount_point);
    if (strlen(point) < 2 || strncmp(point, prefix.c_str(), prefix.size()) != 0) continue;
    const char *rest = point + prefix.size();
    if (!rest[0] || strchr(rest, '/')) continue;
    g.add(std::string(rest) + (kvd_path_kind(rest) == KVD_NONE ? "/" : ""));
  }
}

int pflist(const char *path, lua_State *L) {
  flush_dirty_mounts_immediately();
  pbuffer *canon_buf = normalise_kavelund_path(path);
  if (!canon_buf) return 0;
  uint32_t kind = 0;
  pbuffer *origin_buf = resolve_to_origin(to_cstr(canon_buf), &kind, 0);
  std::string canon = folder_prefix(to_cstr(canon_buf));
  std::string origin = folder_prefix(to_cstr(origin_buf));
  bool resolved = origin_buf->length > 0;
  destroy_buffer(canon_buf);
  destroy_buffer(origin_buf);
  name_gatherer g;
  if (!resolved) return 0;
  if (kind == MOUNT_HOST && !gather_host(g, origin.empty() ? "/" : origin.c_str(), canon)) return 0;
  if (kind == MOUNT_RAM) gather_ram(g, origin);
  gather_mounts(g, canon);

  std::vector<const char *> sorted;
  for (const std::string &n : g.names) sorted.push_back(n.c_str());
  natural_sort(sorted.data(), sorted.size(), [](const char *t) { return t; });
  lua_createtable(L, 16, 0);
  int folders = 0, index = 0;
  const char *previous = nullptr;
  for (const char *name : sorted) {
    if (previous && strcmp(previous, name) == 0) continue;
    previous = name;
    size_t n = strlen(name);
    bool folder = n > 0 && name[n - 1] == '/';
    folders += folder;
    lua_pushlstring(L, name, folder ? n - 1 : n);
    lua_rawseti(L, -2, ++index);
  }
  lua_pushinteger(L, folders);
  return 2;
}
