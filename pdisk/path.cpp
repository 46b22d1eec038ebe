// Workstation path texts: legality, canonical form, folder matching and
// extensions. Every path handed to the mount table passes through here.
#include "pdisk/path.h"

#include <cstdio>
#include <cstring>

#include "machine/process.h"

bool is_path_char(int c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
         c == '.' || c == '/' || c == '_';
}

// The first-character rule and the character test up to the end or the first
// "#" (what follows "#" is a location suffix and is not tested).
static bool path_text_is_legal(const char *p) {
  if (!p || p[0] == 0 || p[0] == '#' || p[0] == '-') return false;
  for (const char *c = p; *c && *c != '#'; c++)
    if (!is_path_char((unsigned char)*c)) return false;
  return true;
}

static bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of the "name://" prefix at the start of text (0 when there is none):
// the name is 1 to 15 letters and digits from the very start, so no text that
// holds "/", "." or "#" before its ":" counts as one.
static int protocol_prefix_length(const char *text, int len) {
  int i = 0;
  while (i < 15 && i < len && is_ascii_alnum(text[i])) i++;
  if (i == 0 || i + 2 >= len || text[i] != ':' || text[i + 1] != '/' || text[i + 2] != '/')
    return 0;
  return i + 3;
}

const char *get_prot(const char *p) {
  static char prot[32];
  if (!p) return nullptr;
  int n = protocol_prefix_length(p, (int)strnlen(p, 32));
  if (n == 0) return nullptr;
  memcpy(prot, p, n - 3);
  prot[n - 3] = 0;
  return prot;
}

// Removes the last segment of out (never touching the first `prefix` bytes).
static void fold_last_segment(pbuffer *out, int prefix) {
  if (out->length <= prefix + 1) return;
  int k = out->length - 1;
  while (k >= prefix && out->data[k] != '/') k--;
  int cut = k >= prefix ? k : prefix;
  memset(out->data + cut, 0, out->length - cut);
  out->length = cut;
  out->cursor = cut;
}

pbuffer *collapse_path(const char *text, int len, int verbose, int *too_long) {
  pbuffer *out = create_buffer_2(len, 'N');
  if (too_long) *too_long = 0;
  if (verbose) printf(":: collapse: [%s]\n", text);

  int pos = 0;
  int prefix = protocol_prefix_length(text, len);
  if (prefix) {
    bwrite(text, 1, prefix, out);
    pos = prefix;
    if (verbose) printf("skipping prot: %s\n", to_cstr(out));
  }
  while (pos < len && text[pos] == '/') pos++;
  bool slash_due = (len > 0 && text[0] == '/' && prefix == 0);

  while (pos < len && text[pos]) {
    int start = pos;
    while (pos < len && text[pos] && text[pos] != '/') pos++;
    int n = pos - start;
    if (n == 1 && text[start] == '.') {
      if (verbose) printf("  skipped .  -> %s\n", to_cstr(out));
    } else if (n == 2 && text[start] == '.' && text[start + 1] == '.') {
      fold_last_segment(out, prefix);
      if (verbose) printf("  folded ..  -> %s\n", to_cstr(out));
    } else {
      if (prefix && out->length == prefix) slash_due = false;
      if (n >= PDISK_MAX_SEGMENT && too_long) *too_long = 1;
      out->cursor = out->length;
      if (slash_due) bwrite_uint8('/', out);
      bwrite(text + start, 1, n, out);
      if (verbose) printf("  left segment: %.*s  -> %s\n", n, text + start, to_cstr(out));
    }
    while (pos < len && text[pos] == '/') pos++;
    slash_due = true;
  }
  if (out->length == 0) bwrite_uint8('/', out);
  to_cstr(out);
  if (verbose) printf("  --> [%s]\n", to_cstr(out));
  return out;
}

pbuffer *normalise_kavelund_path(const char *p) {
  if (!path_text_is_legal(p)) return nullptr;
  pbuffer *abs;
  if (p[0] == '/') {
    abs = create_buffer_from_str(p);
  } else {
    const char *cwd = cproc ? cproc->pwd : "/";
    abs = create_buffer_from_str(cwd);
    if (abs->length == 0 || abs->data[abs->length - 1] != '/') bappend_str(abs, "/");
    bappend_str(abs, p);
  }
  if (abs->length > PDISK_MAX_PATH) {
    destroy_buffer(abs);
    return nullptr;
  }
  cut_trailing_slash(abs, true);
  if (abs->length == 1 && abs->data[0] == '/') return abs;

  int too_long = 0;
  pbuffer *res = collapse_path(to_cstr(abs), abs->length, 0, &too_long);
  destroy_buffer(abs);
  // Folding ".." may remove the "#" of a location suffix and leave its text
  // (anything at all) in plain segments: such a path has no canonical form.
  if (too_long || !path_text_is_legal(to_cstr(res))) {
    destroy_buffer(res);
    return nullptr;
  }
  return res;
}

int get_path_parent_match_depth(const char *m, const char *p) {
  if (strcmp(m, "/") == 0) return 0;
  size_t ml = strlen(m);
  // strncmp stops at the end of a shorter p; only then is p[ml] read
  if (strncmp(p, m, ml) != 0 || (p[ml] != '/' && p[ml] != 0)) return -1;
  int depth = 0;
  for (const char *c = m; *c; c++)
    if (*c != '/' && (c == m || c[-1] == '/')) depth++;
  return depth;
}

// Copies at most 64 characters of extension text, lowered; longer gives "".
static const char *store_ext(char *ext, const char *from, size_t n) {
  if (n > 64) return ext;
  for (size_t i = 0; i < n; i++) {
    char c = from[i];
    ext[i] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  }
  ext[n] = 0;
  return ext;
}

const char *get_ext(const char *p) {
  static char ext[80];
  ext[0] = 0;
  if (!p || !p[0]) return ext;
  const char *last = strrchr(p, 0) - 1;
  while (last >= p && *last != '.' && *last != '/') last--;
  if (last < p || *last == '/') return ext;
  const char *prev = last - 1;
  while (prev >= p && *prev != '.' && *prev != '/') prev--;
  const char *start = (prev >= p && *prev == '.') ? prev + 1 : last + 1;
  return store_ext(ext, start, strlen(start));
}

bool ram_path_is_inside_origin(const pbuffer *path, const pbuffer *folder, int allow_equal) {
  if (path->length < folder->length || memcmp(path->data, folder->data, folder->length) != 0)
    return false;
  if (path->length == folder->length) return allow_equal;
  return path->data[folder->length] == '/';
}

bool path_is_at_or_below(const char *path, const char *folder) {
  size_t n = strlen(folder);
  return strncmp(path, folder, n) == 0 && (path[n] == '/' || path[n] == 0);
}

bool is_canonical_relative_path(const char *p) {
  if (!p || !p[0]) return false;
  const char *seg = p;
  for (const char *c = p;; c++) {
    if (*c && *c != '/') {
      if (!is_path_char((unsigned char)*c)) return false;
      continue;
    }
    size_t n = size_t(c - seg);
    if (n == 0 || n >= PDISK_MAX_SEGMENT ||
        (seg[0] == '.' && (n == 1 || (n == 2 && seg[1] == '.'))))
      return false;
    if (!*c) return true;
    seg = c + 1;
  }
}

bool has_parent_segment(const char *p) {
  for (const char *seg = p; seg; seg = strchr(seg, '/'), seg = seg ? seg + 1 : nullptr)
    if (seg[0] == '.' && seg[1] == '.' && (seg[2] == '/' || seg[2] == 0)) return true;
  return false;
}

void cut_trailing_slash(pbuffer *b, bool keep_root) {
  if (b->length > (keep_root ? 1 : 0) && b->data[b->length - 1] == '/') {
    b->data[--b->length] = 0;
    b->cursor = b->length;
  }
}
