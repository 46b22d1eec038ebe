// Start-up and the rebuilding of the workstation state.
#include "kernel/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "base/debug_log.h"
#include "base/hooks.h"
#include "base/klog.h"
#include "base/os_time.h"
#include "base/paths.h"
#include "base/pbuffer.h"
#include "machine/alloc.h"
#include "machine/app.h"
#include "machine/process.h"
#include "lang/libset.h"
#include "gfx/hooks.h"
#include "gfx/video.h"
#include "sorn/audio_owner.h"
#include "sorn/hooks.h"
#include "sorn/sorn.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/hooks.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "pdisk/png_cart.h"
#include "pdisk/rom.h"
#include "anywhen/anywhen.h"
#include "host/capture.h"
#include "host/capture_audio.h"
#include "host/capture_gif.h"
#include "host/capture_screenshot.h"
#include "host/os_host.h"
#include "host/sockets.h"
#include "kernel/frame.h"
#include "kernel/process_life.h"
#include "kernel/settings.h"

pbuffer *dat_file[max_dat_files];
int dat_files;

// A host path beside the program.
static std::string program_path(const char *name) {
  std::string out(1025 + std::strlen(name), '\0');
  paths_prefix_program(name, out.data());
  out.resize(std::strlen(out.c_str()));
  return out;
}

void load_dat_files(const char *path) {
  FILE *f = std::fopen(path, "rb");
  if (!f) return;
  while (dat_files < max_dat_files) {
    unsigned char len_bytes[4];
    if (std::fread(len_bytes, 1, 4, f) != 4) break;
    int32_t len = (int32_t)((uint32_t)len_bytes[0] << 24 | (uint32_t)len_bytes[1] << 16 |
                            (uint32_t)len_bytes[2] << 8 | len_bytes[3]);
    if (len < 0 || len > max_dat_blob) break;
    pbuffer *b = create_buffer_2(len + 8, 'i');
    size_t got = len > 0 ? std::fread(b->data, 1, (size_t)len, f) : 0;
    b->length = got == (size_t)len ? len : 0;  // a short blob stays, empty
    b->cursor = 0;
    dat_file[dat_files++] = b;
    if (got != (size_t)len) break;
  }
  if (dat_files == max_dat_files) klog("sysrom.dat: only the first 64 blobs are read\n");
  std::fclose(f);
}

pbuffer *get_dat_file(int index) {
  if (index < 0 || index >= dat_files) return nullptr;
  dat_file[index]->cursor = 0;
  return dat_file[index];
}

[[noreturn]] static void end_program(const char *out, int code) {
  std::printf("%s", out);
  std::fflush(stdout);
  std::exit(code);
}

void process_arguments(int argc, char **argv) {
  enum { none, home, skip, display } pending = none;
  config.display = -1;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (a[0] == '>' || a[0] == '|' || a[0] == '&') break;
    if (a[0] == '-') {
      pending = std::strncmp(a, "-home", 5) == 0 ? home : skip;
      if (std::strncmp(a, "-x", 2) == 0) {
        config.headless = 1;
        pending = none;
      }
      if (std::strncmp(a, "-use_system_rom", 15) == 0) {
        config.use_system_rom = 1;
        pending = none;
      }
      if (std::strncmp(a, "-display", 8) == 0) pending = display;
      continue;
    }
    switch (pending) {
      case display:
        std::sscanf(a, "%d", &config.display);
        break;
      case home:
        // Cut short, the folder would name a different place.
        if (std::strlen(a) >= sizeof config.home - 1)
          end_program("ERROR: the -home folder name is too long\n", 1);
        std::snprintf(config.home, sizeof config.home, "%s", a);
        paths_mkdir(config.home);
        break;
      case none:
        std::snprintf(config.startup_arg, sizeof config.startup_arg, "%s", a);
        break;
      case skip:
        break;
    }
    pending = none;
  }
}

// The mounts the system itself needs; a full table ends the program.
static void mount_system_folder(const char *path) {
  if (mount_ram_folder(path) != 0)
    end_program((std::string("could not mount ") + path + "\n").c_str(), 1);
}

static int64_t current_process_id() { return cproc ? cproc->id : 0; }

void install_hooks() {
  base_hook.current_process_id = current_process_id;
  gfx_hook.capture_gif_frame = update_gif_recording;
  gfx_hook.capture_screenshot_frame = update_screenshot;
  pdisk_hook.history_event = anywhen_event;
  sorn_hook.end_audio_capture = audio_capture_end;
}

void reset_subsystems() {
  install_hooks();
  cpu_budget_reset();
  capture_reset();  // finishes captures while the file system still stands
  // Sound first: a reboot silences the old owner and ends a running capture
  // before the record that tracks them is cleared.
  sorn_init();
  audio_owner_reset();
  app_reset();
  processes_init();
  sockets_reset();
  pfile_init();
  pfile_reset();
  cart_mount_reset();
  png_cart_reset();
  init_default_coltabs();
  anywhen_reset();
  host_input_reset();
}

void reset_app_state() {
  reset_subsystems();
  mount_system_folder("/ram");
  process_config();

  // Files half-written by a run that was killed are removed once a run; a
  // reboot leaves the writes of this run (downloads go on) alone.
  static bool swept;
  if (!swept) {
    swept = true;
    uint32_t kind = 0;
    pbuffer_owner drive(resolve_to_origin("/", &kind, 0));
    if (kind == MOUNT_HOST) host_remove_stale_temp_files(to_cstr(drive.get()));
  }

  std::string data = program_path("data");
  if (host_directory_exists(data.c_str()) && mount_host_path("/host_data", data.c_str()) != 0)
    end_program("could not mount /host_data\n", 1);

  procs.root = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]", "");
  set_current_process(procs.root);
  // A standard-library global wins over an API global of the same name here.
  lang_openlibs(procs.root->L);

  if (dat_files < 2) {
    klog("sysrom.dat not found\n");
    end_program("sysrom.dat not found\n", 1);
  }
  pbuffer *rom = get_dat_file(1);
  mount_system_folder("/system");
  populate_ram_folder_from_kvd_rom_buffer("", rom);

  pfile_entry *boot = pfopen("/system/boot.lua", "r");
  if (!boot) end_program("could not find /system/boot.lua\n", 1);
  // Loaded as a string chunk (its text names it), in text mode only.
  const char *src = boot->data ? to_cstr(boot->data) : "";
  int rc = luaL_loadbufferx(procs.root->L, src, std::strlen(src), src, "t");
  pfclose(boot);
  if (rc != LUA_OK) {
    std::printf("error in /system/boot.lua");
    end_program((std::string(lua_tostring(procs.root->L, -1)) + "\n").c_str(), 1);
  }

  uint32_t t0 = os_get_time();
  anywhen_open();
  klog("anywhen init: %lldms\n", (long long)(os_get_time() - t0));

  if (dat_files > 2) {
    pbuffer *cart = get_dat_file(2);
    app.exported_cartridge = 1;
    mount_system_folder("/ram/expcart");
    populate_ram_folder_from_kvd_rom_buffer("/ram/expcart", cart);
  }
}

void kernel_main(int argc, char **argv) {
  install_hooks();
  alloc_keep_freed_memory();
  paths_set_argv0(argc > 0 ? argv[0] : "");
  std::string rom_path = program_path("sysrom.dat");
  klog("load_kavelund_dat_files: %s // from: %s\n", "sysrom.dat", rom_path.c_str());
  load_dat_files(rom_path.c_str());
  std::srand((unsigned)std::time(nullptr));
  config_set_defaults();
  process_arguments(argc, argv);
  // The log's place depends on "-home" and on blob 0 (the export name).
  pbuffer *name = get_dat_file(0);
  paths_set_export_name(name ? name->data : nullptr, name ? name->length : 0);
  debug_log_open_allowed();
  klog("booting kavelund %s\n", kvd_version_text);
  klog("build: %s\n", kvd_build_text);
  frame_install_signal_handlers();
  reset_app_state();
  for (;;) system_frame();
}
