// kvd_rompack: packs a host folder into a .kvd.rom cartridge, or into a
// sysrom.dat (the run of big-endian length-prefixed blobs the workstation
// reads at start: the export name, the system ROM, an optional cartridge),
// through the workstation's own file system and ROM writer.
//
//   kvd_rompack rom FOLDER OUT
//   kvd_rompack sysrom FOLDER OUT [--export NAME] [--cart FOLDER]
#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "pdisk/fileops.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"

static bool is_legal_name(const char *name) {
  for (const char *c = name; *c; c++)
    if (!is_path_char((unsigned char)*c) || *c == '/') return false;
  return name[0] && name[0] != '-' && !has_parent_segment(name);
}

// Copies the host folder behind workstation path src into the RAM folder dst.
static bool copy_tree(const std::string &host, const std::string &src, const std::string &dst) {
  DIR *d = opendir(host.c_str());
  if (!d) {
    fprintf(stderr, "kvd_rompack: cannot read folder %s\n", host.c_str());
    return false;
  }
  bool ok = true;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (!is_legal_name(e->d_name)) {
      fprintf(stderr, "kvd_rompack: %s/%s: name not allowed in a workstation path\n", host.c_str(),
              e->d_name);
      ok = false;
      break;
    }
    std::string s = src + "/" + e->d_name, t = dst + "/" + e->d_name;
    if (host_entry_is_folder(host.c_str(), e)) {
      ok = pmkdir(t.c_str()) == 0 && copy_tree(host + "/" + e->d_name, s, t);
    } else if (fcopy(s.c_str(), t.c_str()) < 0 || !pdisk_file_exists(t.c_str())) {
      fprintf(stderr, "kvd_rompack: cannot copy %s/%s\n", host.c_str(), e->d_name);
      ok = false;
    }
    if (!ok) break;
  }
  closedir(d);
  return ok;
}

// The ROM of a host folder, appended to out. n numbers the RAM folder used.
static bool pack_folder(const char *host_folder, int n, pbuffer *out) {
  std::string src = "/src" + std::to_string(n), dst = "/ram/pack" + std::to_string(n);
  mount_host_path(src.c_str(), host_folder);
  if (pmkdir(dst.c_str()) != 0 || !copy_tree(host_folder, src, dst)) return false;
  pbuffer *folder = create_buffer_from_str(dst.c_str());
  int r = write_kvd_rom_from_ram_files(out, folder, 0);
  destroy_buffer(folder);
  if (r != 0) fprintf(stderr, "kvd_rompack: %s holds more than a ROM can carry\n", host_folder);
  return r == 0;
}

// The workstation stops reading sysrom.dat at a blob longer than this.
constexpr int32_t SYSROM_MAX_BLOB = 0x2000000;

static bool append_blob(pbuffer *dat, const pbuffer *blob) {
  if (blob->length > SYSROM_MAX_BLOB) {
    fprintf(stderr, "kvd_rompack: a blob of %d bytes is more than sysrom.dat can carry\n",
            blob->length);
    return false;
  }
  dat->cursor = dat->length;
  bwrite_uint32_big_endian(blob->length, dat);
  bwrite(blob->data, 1, blob->length, dat);
  return true;
}

static bool write_host_file(const char *path, const pbuffer *data) {
  pbuffer *tmp = nullptr;
  FILE *f = host_write_begin(path, &tmp);
  bool ok = f && host_write_finish(f, tmp, path, data, 0) == 0;
  destroy_buffer(tmp);
  if (!ok) fprintf(stderr, "kvd_rompack: cannot write %s\n", path);
  return ok;
}

static int usage() {
  fprintf(stderr,
          "usage: kvd_rompack rom FOLDER OUT\n"
          "       kvd_rompack sysrom FOLDER OUT [--export NAME] [--cart FOLDER]\n");
  return 2;
}

int main(int argc, char **argv) {
  if (argc < 4) return usage();
  bool sysrom = strcmp(argv[1], "sysrom") == 0;
  if (!sysrom && (strcmp(argv[1], "rom") != 0 || argc != 4)) return usage();
  const char *export_name = "", *cart = nullptr;
  for (int i = 4; i < argc; i++) {
    if (i + 1 < argc && strcmp(argv[i], "--export") == 0)
      export_name = argv[++i];
    else if (i + 1 < argc && strcmp(argv[i], "--cart") == 0)
      cart = argv[++i];
    else
      return usage();
  }

  pfile_init();
  mount_ram_folder("/ram");
  pbuffer *rom = create_buffer_2(0, 'd');
  bool ok = pack_folder(argv[2], 0, rom);
  pbuffer *out = rom;
  if (ok && sysrom) {
    out = create_buffer_2(0, 'd');
    pbuffer *name = create_buffer_from_str(export_name);
    ok = append_blob(out, name) && append_blob(out, rom);
    destroy_buffer(name);
    if (ok && cart) {
      pbuffer *cart_rom = create_buffer_2(0, 'd');
      ok = pack_folder(cart, 1, cart_rom) && append_blob(out, cart_rom);
      destroy_buffer(cart_rom);
    }
  }
  ok = ok && write_host_file(argv[3], out);
  if (out != rom) destroy_buffer(out);
  destroy_buffer(rom);
  pfile_reset();
  return ok ? 0 : 1;
}
