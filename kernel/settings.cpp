// Settings from userland and the configuration file.
#include "kernel/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/config.h"
#include "base/klog.h"
#include "base/paths.h"
#include "base/pbuffer.h"
#include "sorn/sorn.h"
#include "pdisk/fileops.h"
#include "pdisk/host_file.h"
#include "pdisk/mount.h"
#include "anywhen/anywhen.h"
#include "host/os_host.h"

uint32_t video_hash0 = 0xFFFFFFFF;

// A host path in the application-data folder.
static std::string appdata_path(const char *name) {
  std::string out(1025 + std::strlen(name), '\0');
  paths_prefix_appdata(name, out.data());
  out.resize(std::strlen(out.c_str()));
  return out;
}

namespace {
struct switch_setting {
  const char *name;
  int32_t config_state::*field;
};
constexpr switch_setting switches[] = {
    {"fullscreen", &config_state::fullscreen},
    {"pixel_perfect", &config_state::pixel_perfect},
    {"stretch", &config_state::stretch},
    {"blit_720p", &config_state::blit_720p},
    {"allow_highdpi", &config_state::allow_highdpi},
    {"fullscreen_window", &config_state::fullscreen_window},
    {"mute_audio", &config_state::mute_audio},
    {"swap_stereo", &config_state::swap_stereo},
    {"battery_saver", &config_state::battery_saver},
    {"network_access", &config_state::network_access},
};
}  // namespace

void kavelund_apply_setting(const char *name, int64_t value) {
  if (!name) return;
  for (const switch_setting &s : switches)
    if (std::strcmp(name, s.name) == 0) {
      config.*s.field = value != 0;
      return;
    }
  if (std::strcmp(name, "pixel_scale") == 0)
    config.pixel_scale = (int32_t)value;
  else if (std::strcmp(name, "sdl_render_driver") == 0)
    config.sdl_render_driver = (int32_t)value;
  else if (std::strcmp(name, "volume") == 0)
    config.volume = (int32_t)std::clamp<int64_t>(value, 0, 256);
  else if (std::strcmp(name, "deadzone") == 0)
    config.deadzone = (int32_t)std::clamp<int64_t>(value, 0, 256);
  else if (std::strcmp(name, "anywhen") == 0) {
    int32_t was = config.anywhen;
    config.anywhen = value != 0;
    if (!was && config.anywhen) anywhen_event(ANYWHEN_OPEN_LOG, nullptr, nullptr);
  }
}

uint32_t display_signature() {
  return (uint32_t)(config.fullscreen != 0) | (uint32_t)(config.pixel_perfect != 0) << 1 |
         (uint32_t)(config.allow_highdpi != 0) << 2 | (uint32_t)(config.stretch != 0) << 3 |
         (uint32_t)(config.fullscreen_window != 0) << 4 | (uint32_t)(config.blit_720p != 0) << 5;
}

void kavelund_apply_settings() {
  uint32_t sig = display_signature();
  if (sig != video_hash0) {
    host_apply_video_config();
    video_hash0 = sig;
  }
  sorn_set_volume(config.mute_audio ? 0 : config.volume);
  sorn_set_stereo_swap(config.swap_stereo);
}

// One "mount " line: the mount point runs to the first byte <= 32 or >= 128,
// then spaces, then the host path to the end of the line.
static void mount_config_line(const char *line) {
  const unsigned char *s = (const unsigned char *)line + 6;
  size_t n = 0;
  while (s[n] > 32 && s[n] < 128) n++;
  if (n >= 256) {
    klog("mount point too long, line skipped\n");
    return;
  }
  char point[256] = {0};
  std::memcpy(point, s, n);
  const char *rest = (const char *)s + n;
  while (*rest == ' ') rest++;
  std::string host(rest, std::strcspn(rest, "\r\n"));
  klog("mount: [%s] [%s]\n", point, host.c_str());
  mount_host_path(point, host.c_str());
}

void process_config() {
  std::string cfg_path = appdata_path("kavelund_config.txt");
  std::string drive = appdata_path("drive");
  paths_mkdir(drive.c_str());

  // Anything already there (a pipe or a device too) is never overwritten,
  // and never opened in a way that could block.
  struct stat st;
  if (lstat(cfg_path.c_str(), &st) != 0) {
    klog("writing default config to %s\n", cfg_path.c_str());
    FILE *out = std::fopen(cfg_path.c_str(), "wb");
    if (!out) {
      std::printf("ERROR: could not write to %s\n", cfg_path.c_str());
      std::fflush(stdout);
      std::exit(1);
    }
    std::fprintf(out, "# kavelund config\n\nmount / %s\n", drive.c_str());
    std::fclose(out);
  }

  pbuffer *text = create_buffer_2(1024, 'o');
  if (host_file_read(cfg_path.c_str(), text, settings_file_cap + 1) != 0 ||
      text->length > settings_file_cap || host_directory_exists(cfg_path.c_str())) {
    klog("%s is not a readable file under %d bytes; ignored\n", cfg_path.c_str(),
         settings_file_cap);
    destroy_buffer(text);
    return;
  }
  text->cursor = 0;

  pbuffer *line = create_buffer_2(1024, 'o');
  while (text->cursor < text->length) {
    breadln(text, line);
    const char *s = to_cstr(line);
    if (std::strncmp(s, "mount ", 6) != 0) continue;
    if (pmounts >= PDISK_MAX_MOUNTS - settings_reserved_mounts) {
      klog("mount table nearly full; the remaining mount lines are skipped\n");
      break;
    }
    mount_config_line(s);
  }
  destroy_buffer(line);
  destroy_buffer(text);
}
