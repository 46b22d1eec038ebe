// The .kvd.rom reader on arbitrary bytes. An input beginning with 'P' is
// taken as a payload and wrapped into a valid compressed ROM, so that the
// entry parser is reached as often as the block decoder. Every file created
// must lie below the destination folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <lz4.h>

#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!freopen("/dev/null", "w", stdout)) abort();
  pfile_init();
  mount_ram_folder("/ram");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pbuffer *src = create_buffer_2((int)size + 16, 'i');
  if (size > 0 && data[0] == 'P') {
    std::vector<char> block(LZ4_compressBound((int)size));
    int n = LZ4_compress_default((const char *)data + 1, block.data(), (int)size - 1,
                                 (int)block.size());
    bwrite("kvd\2", 1, 4, src);
    bwrite_uint32((uint32_t)n, src);
    bwrite(block.data(), 1, n, src);
  } else {
    bwrite(data, 1, size, src);
  }
  src->cursor = 0;
  populate_ram_folder_from_kvd_rom_buffer("/ram/f", src);
  if (src->cursor < 0 || src->cursor > src->length) abort();
  destroy_buffer(src);

  for (int i = 0; i < num_pfiles; i++)
    if (pfile[i] && pfile[i]->kind == PFILE_RAM &&
        !path_is_at_or_below(to_cstr(pfile[i]->origin), "/ram/f"))
      abort();
  delete_ram_files_in_path("/ram/f");
  sweep_empty_pfiles();
  return 0;
}
