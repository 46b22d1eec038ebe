// A small driver of the file system for the Python checkers.
//   pdisk_probe normalise            stdin paths -> canonical path or "NULL"
//   pdisk_probe stat HOST_ROOT       stdin paths -> "file dir size" of each
//   pdisk_probe unrom ROM HOST_OUT   unpacks a .kvd.rom into a host folder
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  std::string cmd = argv[1];
  pfile_init();
  std::string line;
  if (cmd == "normalise") {
    while (std::getline(std::cin, line)) {
      pbuffer *b = normalise_kavelund_path(line.c_str());
      printf("%s\n", b ? to_cstr(b) : "NULL");
      destroy_buffer(b);
    }
  } else if (cmd == "stat" && argc == 3) {
    mount_host_path("/", argv[2]);
    while (std::getline(std::cin, line)) {
      pbuffer *canon = normalise_kavelund_path(line.c_str());
      printf("%d %d %lld\n", pdisk_file_exists(line.c_str()),
             pdisk_directory_exists(line.c_str(), 1),
             canon ? (long long)pfile_size(to_cstr(canon), 0) : -1LL);
      destroy_buffer(canon);
    }
  } else if (cmd == "unrom" && argc == 4) {
    mount_host_path("/out", argv[3]);
    pbuffer *rom = create_buffer_from_file(argv[2]);
    if (!rom) return 1;
    rom->cursor = 0;
    populate_ram_folder_from_kvd_rom_buffer("/out", rom);
    destroy_buffer(rom);
  } else {
    return 2;
  }
  pfile_reset();
  return 0;
}
