// The cache of downloaded data on the host.
#include "pdisk/cache.h"

#include <cstring>

#include "base/paths.h"
#include "pdisk/host_file.h"
#include "pdisk/path.h"

bool cache_name_is_safe(const char *text, bool allow_version) {
  if (!text || !text[0] || text[0] == '/' || strstr(text, "..")) return false;
  int versions = 0;
  for (const char *c = text; *c; c++) {
    if (allow_version && c[0] == '%' && c[1] == 'd') {
      versions++;
      c++;
      continue;
    }
    if (!is_path_char((unsigned char)*c)) return false;
  }
  return versions <= 1;
}

static std::string appdata_path(const std::string &rel) {
  std::string out(1024 + rel.size() + 1, '\0');
  paths_prefix_appdata(rel.c_str(), out.data());
  out.resize(strlen(out.c_str()));
  return out;
}

std::string cache_host_path(const char *folder, const char *name, bool versioned) {
  if (!cache_name_is_safe(folder, false) || !cache_name_is_safe(name, versioned)) return "";
  std::string path = appdata_path(std::string("cache/") + folder + "/" + name);
  return path.size() > 1023 ? "" : path;
}

// Writes n bytes over host_path in one piece; 0, or -1.
int write_host_file(const std::string &host_path, const void *data, int64_t n) {
  pbuffer *tmp_path = nullptr;
  FILE *tmp = host_write_begin(host_path.c_str(), &tmp_path);
  if (!tmp) {
    destroy_buffer(tmp_path);
    return -1;
  }
  pbuffer *bytes = create_buffer_2((int32_t)n, 'p');
  bwrite(data, 1, (uint64_t)n, bytes);
  int r = host_write_finish(tmp, tmp_path, host_path.c_str(), bytes, 0);
  destroy_buffer(bytes);
  destroy_buffer(tmp_path);
  return r;
}

int cache_store(const char *folder, const char *name, const void *data, int64_t n) {
  std::string path = cache_host_path(folder, name, false);
  if (path.empty() || n < 0 || n > 0x7fffffff) return -1;
  paths_mkdir(appdata_path("cache").c_str());
  paths_mkdir(appdata_path(std::string("cache/") + folder).c_str());
  return write_host_file(path, data, n);
}

pbuffer *cache_fetch(const char *folder, const char *name, bool versioned) {
  std::string pattern = cache_host_path(folder, name, versioned);
  if (pattern.empty()) return nullptr;
  size_t at = versioned ? pattern.rfind("%d") : std::string::npos;
  if (at == std::string::npos) return create_buffer_from_file(pattern.c_str());
  for (int v = 32; v >= 0; v--) {
    std::string path = pattern.substr(0, at) + std::to_string(v) + pattern.substr(at + 2);
    if (pbuffer *b = create_buffer_from_file(path.c_str())) return b;
  }
  return nullptr;
}

std::string cart_cache_name(const char *url) {
  if (!url) return "";
  size_t lookup = strlen(CART_LOOKUP_PREFIX), host = strlen(CART_HOST_PREFIX);
  std::string name;
  if (strncmp(url, CART_LOOKUP_PREFIX, lookup) == 0)
    name = std::string(url + lookup) + ".kvd.png";
  else if (strncmp(url, CART_HOST_PREFIX, host) == 0)
    name = url + host;
  else
    return "";
  return cache_name_is_safe(name.c_str(), false) ? "carts/" + name : "";
}

std::string cart_cache_host_path(const char *url) {
  std::string name = cart_cache_name(url);
  if (name.empty()) return "";
  std::string path = appdata_path("cache/" + name);
  if (path.size() > 1023) return "";
  paths_mkdir(appdata_path("cache").c_str());
  paths_mkdir(appdata_path("cache/carts").c_str());
  return path;
}
