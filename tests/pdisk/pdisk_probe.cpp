// A small driver of the file system for the Python checkers.
//   pdisk_probe normalise            stdin paths -> canonical path or "NULL"
//   pdisk_probe stat HOST_ROOT       stdin paths -> "file dir size" of each
//   pdisk_probe unrom ROM HOST_OUT   unpacks a .kvd.rom into a host folder
//   pdisk_probe unkvd CART HOST_OUT  unpacks a text cartridge into a host folder
//   pdisk_probe kvd HOST_IN OUT      stdin names (folders end with "/") from
//                                    HOST_IN -> a text cartridge of them in OUT
//   pdisk_probe ls HOST_ROOT         stdin paths -> "<folders> name name ..."
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "lang/lua_api.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/kvd_text.h"
#include "pdisk/listing.h"
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
             pdisk_directory_exists(line.c_str(), true),
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
  } else if (cmd == "unkvd" && argc == 4) {
    mount_host_path("/out", argv[3]);
    pbuffer *cart = create_buffer_from_file(argv[2]);
    if (!cart) return 1;
    cart->cursor = 0;
    populate_ram_folder_from_kvd_buffer("/out", cart);
    destroy_buffer(cart);
  } else if (cmd == "kvd" && argc == 4) {
    mount_host_path("/in", argv[2]);
    mount_ram_folder("/ram");
    pmkdir("/ram/c");
    while (std::getline(std::cin, line)) {
      std::string dst = "/ram/c/" + line;
      if (!line.empty() && line.back() == '/')
        pmkdir(dst.c_str());
      else
        fcopy(("/in/" + line).c_str(), dst.c_str());
    }
    pbuffer *out = create_buffer_2(0, 'p');
    pbuffer *folder = create_buffer_from_str("/ram/c");
    write_kvd_from_ram_files(out, folder, 0);
    FILE *f = fopen(argv[3], "wb");
    if (!f) return 1;
    fwrite(out->data, 1, out->length, f);
    fclose(f);
    destroy_buffer(out);
    destroy_buffer(folder);
  } else if (cmd == "ls" && argc == 3) {
    mount_host_path("/", argv[2]);
    mount_ram_folder("/ram");
    mount_ram_folder("/system");
    lua_State *L = luaL_newstate();
    while (std::getline(std::cin, line)) {
      if (pflist(line.c_str(), L) != 2) {
        printf("NULL\n");
        continue;
      }
      printf("%lld", (long long)lua_tointeger(L, -1));
      for (lua_Integer i = 1; i <= (lua_Integer)luaL_len(L, -2); i++) {
        lua_rawgeti(L, -2, i);
        printf(" %s", lua_tostring(L, -1));
        lua_pop(L, 1);
      }
      printf("\n");
      lua_settop(L, 0);
    }
    lua_close(L);
  } else {
    return 2;
  }
  pfile_reset();
  return 0;
}
