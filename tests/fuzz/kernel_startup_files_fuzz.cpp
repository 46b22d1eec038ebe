// The two files start-up reads: sysrom.dat's run of blobs and the
// configuration file's mount lines. Neither may crash on any content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/config.h"
#include "base/pbuffer.h"
#include "pdisk/pfile.h"
#include "kernel/settings.h"
#include "kernel/startup.h"

static char folder_path[64];

static void remove_folder() { std::filesystem::remove_all(folder_path); }

static std::string folder() {
  if (!folder_path[0]) {
    std::snprintf(folder_path, sizeof folder_path, "/tmp/kvd_startup_fuzz_XXXXXX");
    if (!mkdtemp(folder_path)) std::abort();
    std::atexit(remove_folder);
  }
  return folder_path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string dir = folder();
  if (data[0] & 1) {
    std::string path = dir + "/sysrom.dat";
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(data + 1, 1, size - 1, f);
      std::fclose(f);
    }
    load_dat_files(path.c_str());
    for (int i = 0; i < dat_files; i++) {
      if (uint64_t(get_dat_file(i)->length) > dat_file[i]->capacity) __builtin_trap();
      destroy_buffer(dat_file[i]);
      dat_file[i] = nullptr;
    }
    dat_files = 0;
  } else {
    std::snprintf(config.home, sizeof config.home, "%s", dir.c_str());
    std::string path = dir + "/kavelund_config.txt";
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(data + 1, 1, size - 1, f);
      std::fclose(f);
    }
    static bool inited = (pfile_init(), true);
    (void)inited;
    process_config();
    pfile_reset();
  }
  return 0;
}
