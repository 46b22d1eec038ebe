// Writer and readers of the text cartridge.
#include "pdisk/kvd_text.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>

#include "pod/base64.h"
#include "pdisk/fileops.h"
#include "pdisk/path.h"

static bool begins(const uint8_t *p, size_t n, const char *prefix) {
  size_t k = strlen(prefix);
  return n >= k && memcmp(p, prefix, k) == 0;
}

// Bytes that the reader would take for something other than text content.
static bool reads_back_as_text(const uint8_t *p, size_t n) {
  if (n == 0 || p[n - 1] == '\r') return false;
  for (size_t i = 0; i < n; i++) {
    if (p[i] < 1 || p[i] > 127) return false;
    if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') return false;
    if (i == 0 || p[i - 1] == '\n') {
      const uint8_t *at = p + i;
      size_t rest = n - i;
      if (begins(at, rest, ":: ") || begins(at, rest, "b64$") || begins(at, rest, "hex$"))
        return false;
    }
  }
  return true;
}

static bool is_info_pod(const char *name) { return strstr(name, ".info.pod") != nullptr; }

static bool has_text_name(const char *name) {
  const char *ext = get_ext(name);
  return is_info_pod(name) || strcmp(ext, "lua") == 0 || strcmp(ext, "txt") == 0;
}

bool is_writeable_as_ascii(const pfile_entry *f) {
  if (!f || !f->name || !f->data) return false;
  return has_text_name(to_cstr(f->name)) && reads_back_as_text(f->data->data, f->data->length);
}

// The pass that writes record f: 0 folders, 1 text, 2 .info.pod and binary.
static int entry_pass(const pfile_entry *f, const char *name) {
  if (f->attributes & PFILE_ATTR_FOLDER) return 0;
  if (is_writeable_as_ascii(f)) return is_info_pod(name) ? 2 : 1;
  return 2;
}

static void write_binary_lines(pbuffer *out, const pbuffer *data, int hex) {
  bappend_str(out, hex ? "hex$" : "b64$");
  int first = hex ? KVD_HEX_FIRST : KVD_B64_FIRST;
  int per_line = hex ? KVD_HEX_LINE : KVD_B64_LINE;
  char chars[128];
  for (int at = 0, n = first; at < data->length; at += n, n = per_line) {
    int take = data->length - at < n ? data->length - at : n;
    if (hex) {
      for (int i = 0; i < take; i++) bwrite_uint8_as_hex(data->data[at + i], out);
    } else {
      base64_encodestate st;
      base64_init_encodestate(&st);
      int64_t k = base64_encode_block(data->data + at, take, chars, &st);
      k += base64_encode_blockend(chars + k, &st);
      bwrite(chars, 1, k, out);
    }
    bappend_str(out, "\n");
  }
  if (data->length == 0) bappend_str(out, "\n");
}

void write_kvd_from_ram_files(pbuffer *out, const pbuffer *folder, int hex) {
  if (!out || !folder) return;
  bappend_str(out, "kavelund cartridge // kavelund.invalid\n");
  bappend_str(out, "version 2\n\n");
  size_t prefix = folder->length + 1;
  for (int pass = 0; pass < 3; pass++) {
    for (int i = 0; i < num_pfiles; i++) {
      const pfile_entry *f = pfile[i];
      if (!f || f->kind != PFILE_RAM || !ram_path_is_inside_origin(f->origin, folder, 0)) continue;
      const char *name = (const char *)f->origin->data + prefix;
      if (entry_pass(f, name) != pass) continue;
      bappend_str(out, ":: ");
      bappend_str(out, name);
      if (pass == 0) {
        bappend_str(out, "/\n");
      } else if (pass == 1 || is_writeable_as_ascii(f)) {
        bappend_str(out, "\n");
        bwrite(f->data->data, 1, f->data->length, out);
        bappend_str(out, "\n");
      } else {
        bappend_str(out, "\n");
        write_binary_lines(out, f->data, hex);
      }
    }
  }
  bappend_str(out, ":: [eoc]\n");
}

// dest + "/" + name, or false when the name may not be stored: only path
// characters, and no ".." segment that could lead out of dest.
static bool entry_path(const char *dest, const char *name, char *out, size_t size) {
  if (!name[0] || has_parent_segment(name) || strlen(name) > KVD_MAX_NAME) return false;
  for (const char *c = name; *c; c++)
    if (!is_path_char((unsigned char)*c)) return false;
  return snprintf(out, size, "%s/%s", dest, name) < (int)size;
}

// True when name (a folder's with its one "/" at the end) is stored under
// that very name, and no entry before it had the name: an entry that would
// be saved back under another name ("a//b", "./a") or over another entry is
// not kept as it stands.
static bool entry_name_is_kept(const std::string &name, std::unordered_set<std::string> &seen) {
  std::string plain = !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
  return is_canonical_relative_path(plain.c_str()) && seen.insert(plain).second;
}

// True when nothing but line ends and blanks is left from b's cursor on.
static bool only_blanks_left(const pbuffer *b) {
  for (int32_t i = b->cursor; i < b->length; i++)
    if (b->data[i] != '\n' && b->data[i] != '\r' && b->data[i] != ' ' && b->data[i] != '\t')
      return false;
  return true;
}

static bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A line of hex pairs, as the writer makes them.
static bool is_hex_line(const char *s, size_t n) {
  if (n % 2) return false;
  for (size_t i = 0; i < n; i++)
    if (!is_hex_digit(s[i])) return false;
  return true;
}

// A line of whole base64 groups, "=" only as the padding of its last group.
static bool is_base64_line(const char *s, size_t n, bool *padded) {
  if (n % 4) return false;
  size_t pad = 0;
  while (pad < 2 && pad < n && s[n - 1 - pad] == '=') pad++;
  for (size_t i = 0; i + pad < n; i++)
    if (base64_decode_value((unsigned char)s[i]) < 0) return false;
  *padded = pad > 0;
  return true;
}

namespace {
enum entry_mode { MODE_TEXT = 0, MODE_HEX = 1, MODE_B64 = 2 };

struct v2_reader {
  pfile_entry *open = nullptr;
  int mode = MODE_TEXT;
  base64_decodestate b64{};
  bool padded = false;  // the last base64 line ended its bytes

  void close_entry() {
    if (!open) return;
    pbuffer *d = open->data;
    if (mode == MODE_TEXT && d->length >= 2 && d->data[d->length - 1] == '\n') {
      d->data[--d->length] = 0;
      if (d->cursor > d->length) d->cursor = d->length;
    }
    pfclose(open);
    open = nullptr;
  }
};
}  // namespace

static void append_hex_pairs(pfile_entry *f, const char *s, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    char pair[3] = {s[i], s[i + 1], 0};
    const char *p = pair;
    uint8_t byte = (uint8_t)read_u8_from_hex_str(&p);
    pfwrite(&byte, 1, 1, f);
  }
}

// False when the line is too long to be one the writer makes (passed over).
static bool append_base64(pfile_entry *f, const char *s, size_t n, base64_decodestate *st) {
  if (n >= 1024) return false;
  uint8_t bytes[1024];
  int64_t k = base64_decode_block(s, (int64_t)n, bytes, st);
  pfwrite(bytes, 1, (uint64_t)k, f);
  return true;
}

int populate_ram_folder_from_kvd_buffer_v2(const char *dest, pbuffer *b) {
  if (!dest || !b) return -1;
  int result = 0;
  v2_reader r;
  pbuffer *line = create_buffer_2(256, 'R');
  char path[2048];
  bool ended = false;
  std::unordered_set<std::string> seen;
  while (b->cursor < b->length && !ended) {
    breadln(b, line);
    const char *s = to_cstr(line);
    size_t n = line->length;
    if (begins(line->data, n, ":: ")) {
      r.close_entry();
      if (strcmp(s, ":: [eoc]") == 0) {
        ended = true;
        break;
      }
      size_t k = 3;
      while (k < n && line->data[k] >= 33 && line->data[k] < 128) k++;
      std::string name(s + 3, k - 3);
      // A name cut short (a space in it) is read as its first word, which
      // would be written back under that other name.
      if (k < n || !entry_name_is_kept(name, seen)) result = -1;
      if (!entry_path(dest, name.c_str(), path, sizeof path)) {
        result = -1;
        continue;
      }
      if (name.back() == '/') {
        if (pmkdir(path) != 0 && !pdisk_directory_exists(path, false)) result = -1;
      } else {
        r.open = pfopen(path, "w");
        r.mode = MODE_TEXT;
        if (!r.open) result = -1;
      }
      continue;
    }
    if (!r.open) {
      // text outside every entry (before the first, after a folder) is
      // not part of any file
      if (n > 0) result = -1;
      continue;
    }
    if (r.mode == MODE_TEXT && begins(line->data, n, "hex$")) {
      r.mode = MODE_HEX;
      if (!is_hex_line(s + 4, n - 4)) result = -1;
      append_hex_pairs(r.open, s + 4, n - 4);
    } else if (r.mode == MODE_TEXT && begins(line->data, n, "b64$")) {
      r.mode = MODE_B64;
      base64_init_decodestate(&r.b64);
      if (!is_base64_line(s + 4, n - 4, &r.padded)) result = -1;
      if (!append_base64(r.open, s + 4, n - 4, &r.b64)) result = -1;
    } else if (r.mode == MODE_HEX) {
      if (!is_hex_line(s, n)) result = -1;
      append_hex_pairs(r.open, s, n);
    } else if (r.mode == MODE_B64) {
      // bytes after a padded line would be decoded out of step
      bool was_padded = r.padded;
      if ((n > 0 && was_padded) || !is_base64_line(s, n, &r.padded)) result = -1;
      if (!append_base64(r.open, s, n, &r.b64)) result = -1;
    } else {
      pfwrite(line->data, 1, n, r.open);
      pfwrite("\n", 1, 1, r.open);
    }
  }
  r.close_entry();
  if (!ended) {
    printf("** warning: no [eoc] found while mounting %s\n", dest);
    result = -1;
  } else if (!only_blanks_left(b)) {
    result = -1;  // text after the end mark
  }
  destroy_buffer(line);
  return result;
}

int populate_ram_folder_from_kvd_buffer_v1(const char *dest, pbuffer *b) {
  if (!dest || !b) return -1;
  int result = 0;
  pbuffer *line = create_buffer_2(256, 'R');
  char path[2048];
  std::unordered_set<std::string> seen;
  while (b->cursor < b->length) {
    breadln(b, line);
    if (line->length < 2) {
      // a short line ends the file: entries after it would be lost
      if (!only_blanks_left(b)) result = -1;
      break;
    }
    const char *s = to_cstr(line);
    if (s[0] == '#' && s[1] == '#') continue;
    const char *blank = strchr(s, ' ');
    std::string name(s, blank ? (size_t)(blank - s) : strlen(s));
    const char *rest = blank ? blank + 1 : s + strlen(s);
    int number = 0, attribs = 0;
    sscanf(rest, "%d:%d", &number, &attribs);
    if (!entry_name_is_kept(name, seen)) result = -1;
    if (!entry_path(dest, name.c_str(), path, sizeof path)) {
      result = -1;
      continue;
    }
    if (attribs & 1) {
      if (pmkdir(path) != 0 && !pdisk_directory_exists(path, false)) result = -1;
      continue;
    }
    const char *open_bracket = strchr(rest, '[');
    const char *close_bracket = strrchr(rest, ']');
    pfile_entry *f = pfopen(path, "w");
    if (!f || !open_bracket) result = -1;
    if (!open_bracket) {
      printf(
          "******** could not read legacy kvd; file contents missing. missing null "
          "terminator issue?\n");
      printf("attribs: %d new_path: %s c_p1: %s\n\n", attribs, path, rest);
    } else if (f && close_bracket && close_bracket > open_bracket + 3) {
      const char *digits = open_bracket + 3;
      if (!is_hex_line(digits, size_t(close_bracket - digits))) result = -1;
      append_hex_pairs(f, digits, (size_t)(close_bracket - digits) / 2 * 2);
    }
    pfclose(f);
  }
  destroy_buffer(line);
  return result;
}
