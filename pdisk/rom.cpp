// Reader and writer of the .kvd.rom cartridge form.
#include "pdisk/rom.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>

#include <lz4.h>
#include <lz4hc.h>

#include "pod/pxa.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/png_cart.h"

// Creates dest/name with the given bytes; an entry that cannot be created
// (illegal name, full table, path too long) is passed over: false.
static bool write_entry_file(const char *dest, const char *name, const uint8_t *bytes, int n) {
  char path[1024];
  if (snprintf(path, sizeof path, "%s/%s", dest, name) >= (int)sizeof path) return false;
  pfile_entry *f = pfopen(path, "w");
  if (!f) return false;
  bwrite(bytes, 1, n, f->data);
  pfclose(f);
  return true;
}

static bool make_entry_folder(const char *dest, const char *name) {
  char path[1024];
  if (snprintf(path, sizeof path, "%s/%s", dest, name) >= (int)sizeof path) return false;
  return pmkdir(path) == 0 || pdisk_directory_exists(path, false);
}

static void read_legacy_pxa(const char *dest, pbuffer *src) {
  static uint8_t text[65537];
  memset(text, 0, sizeof text);
  pxa_decompress(src->data, src->length, text, 65536);
  write_entry_file(dest, "main.lua", text, (int)strlen((const char *)text));
  src->cursor = src->length;
}

// Reads the entries of a decompressed payload; 0 when every entry was
// created whole, -1 when the reading stopped early or passed one over.
static int read_entries(const char *dest, const uint8_t *p, int len) {
  int pos = 0, result = 0;
  // names seen, without a folder's "/": one stored twice, or in a form
  // that is saved back under another name, is not kept as it stands
  std::unordered_set<std::string> seen;
  for (int entries = 0; pos < len; entries++) {
    if (entries == ROM_MAX_ENTRIES) return -1;
    const uint8_t *nul = (const uint8_t *)memchr(p + pos, 0, len - pos);
    int name_len = nul ? int(nul - (p + pos)) : 0;
    if (name_len == 0 || name_len > ROM_MAX_NAME) {
      printf("  *** kvd.rom filename parsing failed\n");
      return -1;
    }
    const char *name = (const char *)p + pos;
    pos += name_len + 1;
    if (has_parent_segment(name)) {
      printf("** bad file description while mounting .kvd.rom: %s\n", dest);
      return -1;
    }
    std::string plain(name, size_t(name_len - (name[name_len - 1] == '/' ? 1 : 0)));
    if (!is_canonical_relative_path(plain.c_str()) || !seen.insert(plain).second) result = -1;
    if (name[name_len - 1] == '/') {
      if (!make_entry_folder(dest, name)) result = -1;
      continue;
    }
    int64_t size = -1;
    if (pos < len) {
      size = p[pos++];
      if (size == 255) {
        size = -1;
        if (len - pos >= 4) {
          size = (int64_t)p[pos] | (int64_t)p[pos + 1] << 8 | (int64_t)p[pos + 2] << 16 |
                 (int64_t)p[pos + 3] << 24;
          pos += 4;
        }
      }
    }
    if (size < 0 || size > INT32_MAX) {  // negative as a signed 32-bit length
      printf("** bad file length %d (%lld) while mounting .kvd.rom: %s\n", len - pos,
             (long long)size, dest);
      return -1;
    }
    // A last entry cut short keeps the bytes that are there.
    if (size > len - pos) {
      printf("** bad file length %d (%lld) while mounting .kvd.rom: %s\n", len - pos,
             (long long)size, dest);
      size = len - pos;
      result = -1;
    }
    if (!write_entry_file(dest, name, p + pos, (int)size)) result = -1;
    pos += (int)size;
  }
  return result;
}

static int populate_rom_unblocked(const char *dest, pbuffer *src);

// Cartridge-named entries inside are stored as plain files and folders, never
// mounted or made into cartridges on the way.
int populate_ram_folder_from_kvd_rom_buffer(const char *dest, pbuffer *src) {
  int was_blocked = block_automounting;
  block_automounting = 1;
  int result = populate_rom_unblocked(dest, src);
  block_automounting = was_blocked;
  return result;
}

static int populate_rom_unblocked(const char *dest, pbuffer *src) {
  if (!src || !dest) return -1;
  if (src->cursor == 0 && src->length >= 4 && src->data[0] == 0 &&
      memcmp(src->data + 1, "pxa", 3) == 0) {
    read_legacy_pxa(dest, src);
    return 0;
  }
  if (src->cursor >= src->length) return 0;  // an empty file: a new cartridge
  char magic[3];
  int got = bread(magic, 1, 3, src);
  if (got != 3 || memcmp(magic, "kvd", 3) != 0) {
    // A plain text program; bytes past a NUL (or a stub of 1 or 2 bytes)
    // would not come back.
    int n = (int)strnlen((const char *)src->data, src->length);
    int result = got == 3 && n == src->length ? 0 : -1;
    if (got == 3 && !write_entry_file(dest, "main.lua", src->data, n)) result = -1;
    src->cursor = src->length;
    return result;
  }
  bread_uint8(src);
  uint32_t n = bread_uint32(src);
  int remaining = src->length - src->cursor;
  int result = -1;
  pbuffer *payload = nullptr;
  if (n > 0 && n <= (uint32_t)remaining) {
    // An LZ4 block expands less than 256-fold, so small ROMs need no
    // 64 MiB area.
    int room = (int)std::min<int64_t>(ROM_MAX_PAYLOAD, (int64_t)n * 256 + 64);
    payload = create_buffer_2(room, 'd');
    result = LZ4_decompress_safe((const char *)src->data + src->cursor, (char *)payload->data,
                                 (int)n, room);
  }
  src->cursor += n <= (uint32_t)remaining ? (int)n : remaining;
  // A payload of 0 bytes is what an emptied cartridge was written as: it
  // is reported like a failure but loses nothing.
  int status = result == 0 ? 0 : -1;
  if (result <= 0)
    printf("  *** kvd.rom decompression failed: %s\n", dest);
  else
    status = read_entries(dest, payload->data, result);
  // bytes after the block belong to no entry
  if (src->cursor < src->length) status = -1;
  destroy_buffer(payload);
  return status;
}

static bool is_label_image(const char *name) {
  return strcmp(name, "label.png") == 0 || strcmp(name, "label.qoi") == 0;
}

// The payload of the writer: every RAM record below folder, in table order.
// False when the reader would refuse it.
static bool build_payload(pbuffer *payload, const pbuffer *folder, int flags) {
  int entries = 0;
  for (int i = 0; i < num_pfiles; i++) {
    const pfile_entry *f = pfile[i];
    if (!f || f->kind != PFILE_RAM || f->origin->length <= folder->length + 1 ||
        memcmp(f->origin->data, folder->data, folder->length) != 0 ||
        f->origin->data[folder->length] != '/')
      continue;
    const char *rel = (const char *)f->origin->data + folder->length + 1;
    bool is_folder = f->attributes & PFILE_ATTR_FOLDER;
    if ((flags & ROM_SKIP_LABEL) && is_label_image(rel)) continue;
    if ((flags & ROM_TAKE_INFO_POD) && strcmp(rel, ".info.pod") == 0) rom_keep_info_pod(f->data);
    size_t name_len = strlen(rel) + (is_folder ? 1 : 0);
    if (++entries > ROM_MAX_ENTRIES || name_len > ROM_MAX_NAME || has_parent_segment(rel))
      return false;
    payload->cursor = payload->length;
    bappend_str(payload, rel);
    if (is_folder) bwrite_uint8('/', payload);
    bwrite_uint8(0, payload);
    if (is_folder) continue;
    int32_t n = f->data->length;
    if (n <= 254) {
      bwrite_uint8(n, payload);
    } else {
      bwrite_uint8(255, payload);
      bwrite_uint32(n, payload);
    }
    if ((int64_t)payload->length + n > ROM_MAX_PAYLOAD) return false;
    bwrite(f->data->data, 1, n, payload);
  }
  return payload->length <= ROM_MAX_PAYLOAD;
}

int write_kvd_rom_from_ram_files(pbuffer *out, const pbuffer *folder, int flags) {
  if (!out || !folder) return -1;
  pbuffer *payload = create_buffer_2(65536, 'd');
  int result = -1;
  if (build_payload(payload, folder, flags)) {
    int bound = LZ4_compressBound(payload->length);
    int64_t at = out->cursor;
    if (ballocate(out, (uint64_t)at + 8 + bound + 256) == 0) {
      memcpy(out->data + at, "kvd\2", 4);
      int n = LZ4_compress_HC((const char *)payload->data, (char *)out->data + at + 8,
                              payload->length, bound, 9);
      if (n > 0) {
        out->cursor = (int32_t)(at + 4);
        bwrite_uint32((uint32_t)n, out);
        out->cursor += n;
        if (out->length < out->cursor) out->length = out->cursor;
        result = 0;
      }
    }
  }
  destroy_buffer(payload);
  return result;
}
