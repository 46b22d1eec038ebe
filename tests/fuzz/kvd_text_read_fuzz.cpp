// The text cartridge readers (both versions) on arbitrary bytes. Every file
// created must lie below the destination folder, and a cartridge written
// from what was read must read back to the same files.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/kvd_text.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!freopen("/dev/null", "w", stdout)) abort();
  pfile_init();
  mount_ram_folder("/ram");
  return 0;
}

// Files and folders below folder, by their path relative to it.
static std::map<std::string, std::string> snapshot(const char *folder) {
  std::map<std::string, std::string> out;
  size_t n = strlen(folder);
  for (int i = 0; i < num_pfiles; i++) {
    const pfile_entry *f = pfile[i];
    if (!f || f->kind != PFILE_RAM || !path_is_at_or_below(to_cstr(f->origin), folder)) continue;
    const char *rel = to_cstr(f->origin) + n;
    out[rel] = (f->attributes & PFILE_ATTR_FOLDER)
                   ? std::string("/")
                   : "=" + std::string((const char *)f->data->data, f->data->length);
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pbuffer *src = create_buffer_2((int)size + 64, 'i');
  // The first byte picks the version line, so that both readers run.
  bappend_str(src, size > 0 && (data[0] & 1) ? "h\nversion 1\n" : "h\nversion 2\n");
  bwrite(data, 1, size, src);
  src->cursor = 0;
  pmkdir("/ram/f");
  populate_ram_folder_from_kvd_buffer("/ram/f", src);
  destroy_buffer(src);
  for (int i = 0; i < num_pfiles; i++)
    if (pfile[i] && pfile[i]->kind == PFILE_RAM &&
        !path_is_at_or_below(to_cstr(pfile[i]->origin), "/ram/f"))
      abort();

  pbuffer *folder = create_buffer_from_str("/ram/f");
  pbuffer *cart = create_buffer_2(1024, 'c');
  write_kvd_from_ram_files(cart, folder, size > 1 && (data[1] & 1));
  cart->cursor = 0;
  pmkdir("/ram/g");
  populate_ram_folder_from_kvd_buffer("/ram/g", cart);
  if (snapshot("/ram/f") != snapshot("/ram/g")) abort();
  destroy_buffer(cart);
  destroy_buffer(folder);
  delete_ram_files_in_path("/ram/f");
  delete_ram_files_in_path("/ram/g");
  sweep_empty_pfiles();
  return 0;
}
