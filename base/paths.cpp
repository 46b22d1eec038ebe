// Host folder rules.
#include "base/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/config.h"

paths_state paths;

static constexpr size_t folder_max = 1023;

// Copies at most folder_max bytes of s into out, then appends name.
static char *folder_plus_name(const std::string &folder, const char *name, char *out) {
  size_t n = folder.size() < folder_max ? folder.size() : folder_max;
  memcpy(out, folder.data(), n);
  strcpy(out + n, name ? name : "");
  return out;
}

// A configuration text counts when its first byte is neither NUL nor space.
static bool text_set(const char *s) { return s[0] != 0 && s[0] != ' '; }

static std::string env_text(const char *var) {
  const char *v = getenv(var);
  return v ? std::string(v) : std::string();
}

static void add_slash(std::string &s) {
  if (s.empty() || s.back() != '/') s += '/';
}

int paths_mkdir(const char *path) { return mkdir(path, 0755); }

// Creates a folder and every missing parent (mode 0755).
static void mkdir_parents(const std::string &path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
  }
}

void paths_set_argv0(const char *argv0) {
  paths.argv0[0] = 0;
  if (!argv0) return;
  if (!strpbrk(argv0, "/\\")) {
    ssize_t n = readlink("/proc/self/exe", paths.argv0, sizeof paths.argv0 - 1);
    if (n > 0) {
      paths.argv0[n] = 0;
      return;
    }
  }
  snprintf(paths.argv0, sizeof paths.argv0, "%s", argv0);
}

void paths_set_export_name(const uint8_t *blob, int32_t length) {
  paths.export_name[0] = 0;
  if (!blob || length < 1 || blob[0] == 0) return;
  size_t n = 0;
  while (n < size_t(length) && n < sizeof paths.export_name - 1 && blob[n] != 0) n++;
  std::string name(reinterpret_cast<const char *>(blob), n);
  // The name becomes one folder level: refuse anything that would leave it.
  if (name.find_first_of("/\\") != std::string::npos || name == "." || name == "..") return;
  memcpy(paths.export_name, name.data(), n);
  paths.export_name[n] = 0;
}

char *paths_prefix_program(const char *name, char *out) {
  std::string p(paths.argv0, strnlen(paths.argv0, folder_max));
  if (p.empty()) return folder_plus_name("", name, out);
  size_t cut = p.find_last_of("/\\");
  std::string folder = cut != std::string::npos && cut >= 1 ? p.substr(0, cut) + "/" : "/";
  return folder_plus_name(folder, name, out);
}

void paths_append_export_home(char *path) {
  std::string p(path, strnlen(path, folder_max));
  p += "exp/";
  paths_mkdir(p.c_str());
  p += paths.export_name[0] ? std::string(paths.export_name) + "/" : std::string("shared/");
  paths_mkdir(p.c_str());
  folder_plus_name(p, "", path);
}

static std::string appdata_folder() {
  if (text_set(config.home)) {
    std::string root(config.home, strnlen(config.home, sizeof config.home));
    for (char &c : root)
      if (c == '\\') c = '/';
    add_slash(root);
    mkdir_parents(root);
    return root;
  }
  std::string base = env_text("XDG_DATA_HOME");
  std::string home = env_text("HOME");
  std::string root;
  if (!base.empty() && base[0] == '/')
    root = base + "/Kavelund";  // XDG wants absolute
  else if (!home.empty())
    root = home + "/.local/share/Kavelund";
  if (!root.empty()) {
    mkdir_parents(root);
    root += '/';
  }
  char buf[1024];
  folder_plus_name(root, "", buf);
  paths_append_export_home(buf);
  return buf;
}

char *paths_prefix_appdata(const char *name, char *out) {
  return folder_plus_name(appdata_folder(), name, out);
}

char *paths_prefix_desktop(const char *name, char *out) {
  if (text_set(config.desktop_root)) {
    std::string root(config.desktop_root, strnlen(config.desktop_root, sizeof config.desktop_root));
    paths_mkdir(root.c_str());
    add_slash(root);
    return folder_plus_name(root, name, out);
  }
  std::string desk = env_text("XDG_DESKTOP_DIR");
  if (desk.empty()) {
    std::string home = env_text("HOME");
    if (home.empty()) return folder_plus_name("", name, out);
    desk = home + "/Desktop";
  }
  add_slash(desk);
  return folder_plus_name(desk, name, out);
}
