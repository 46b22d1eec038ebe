// Clipboard, host viewer, trimming and worker threads.
#include "host/host_services.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <SDL.h>

#include "base/config.h"
#include "base/klog.h"
#include "base/pbuffer.h"
#include "lang/lua_api.h"
#include "pod/host_text.h"
#include "pdisk/mount.h"
#include "host/window.h"

extern char **environ;

const char *host_trim(const char *text) {
  static std::string trimmed;
  if (!text) return nullptr;
  const signed char *s = (const signed char *)text;
  while (*s == ' ' || (*s >= 1 && *s <= 31) || *s < 0) s++;
  size_t n = std::strlen((const char *)s);
  while (n > 0 && s[n - 1] <= 32) n--;
  trimmed.assign((const char *)s, n);
  return trimmed.c_str();
}

std::string encode_host_address(const char *address) {
  // The command is `open "` + address + `"`, cut at 1020 bytes.
  static constexpr size_t command_head = 6, command_limit = 1020;
  std::string out;
  for (const unsigned char *p = (const unsigned char *)address;
       *p && command_head + out.size() < command_limit; p++) {
    if (std::isalnum(*p) || std::strchr("-./&:=?_", *p)) {
      out += char(*p);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02x", *p);
      out += hex;
    }
  }
  return out;
}

const char *host_open_command() {
  const char *c = std::getenv("KVD_OPEN_COMMAND");
  return c && *c ? c : "xdg-open";
}

static bool is_address(const char *t) {
  return std::strncmp(t, "http:", 5) == 0 || std::strncmp(t, "https:", 6) == 0;
}

int64_t open_host_file(const char *target) {
  if (!target) return -1;
  std::string arg = is_address(target) ? encode_host_address(target) : std::string(target);
  const char *program = host_open_command();
  char *argv[] = {const_cast<char *>(program), arg.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
  if (rc != 0) {
    klog("could not start %s: %s\n", program, std::strerror(rc));
    return -1;
  }
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  if (config.fullscreen && host_window.sdl_window) SDL_MinimizeWindow(host_window.sdl_window);
  return pid;
}

struct host_thread {
  SDL_Thread *thread;
};

host_thread *host_create_thread(int (*function)(void *), void *data) {
  host_thread *t = (host_thread *)std::calloc(1, sizeof(host_thread));
  if (!t) return nullptr;
  t->thread = SDL_CreateThread(function, "kavelund_worker", data);
  if (!t->thread) {
    std::free(t);
    return nullptr;
  }
  return t;
}

void host_destroy_thread(host_thread *t) {
  if (!t) return;
  if (t->thread) SDL_DetachThread(t->thread);
  std::free(t);
}

// The clipboard is read synchronously: nothing to request.
int lua54__req_host_clipboard_text(lua_State *) { return 0; }

int lua54__get_host_clipboard_text(lua_State *L) {
  char *host = SDL_GetClipboardText();
  pbuffer_owner in(create_buffer_from_str(host ? host : ""));
  SDL_free(host);
  pbuffer_owner text(decode_host_text(in.get()));
  lua_pushlstring(L, text ? (const char *)text->data : "", text ? size_t(text->length) : 0);
  return 1;
}

int lua54__set_host_clipboard_text(lua_State *L) {
  if (lua_type(L, 1) != LUA_TSTRING) return 0;
  pbuffer_owner text(encode_host_text(lua_tostring(L, 1)));
  SDL_SetClipboardText(to_cstr(text.get()));
  return 0;
}

int lua54__open_host_path(lua_State *L) {
  const char *path = lua_tostring(L, 1);
  if (!path) return 0;
  if (std::strncmp(path, "https:", 6) == 0) {
    open_host_file(path);
    return 0;
  }
  uint32_t kind = 0;
  pbuffer_owner origin(resolve_to_origin(path, &kind, 0));
  if (origin && kind == MOUNT_HOST && origin->length > 0) open_host_file(to_cstr(origin.get()));
  return 0;
}

void host_add_public_c_functions(lua_State *L) {
  static constexpr struct {
    const char *name;
    lua_CFunction fn;
  } rows[] = {{"_req_host_clipboard_text", lua54__req_host_clipboard_text},
              {"_get_host_clipboard_text", lua54__get_host_clipboard_text},
              {"_set_host_clipboard_text", lua54__set_host_clipboard_text},
              {"_open_host_path", lua54__open_host_path}};
  for (const auto &row : rows) {
    lua_pushcclosure(L, row.fn, 0);
    lua_setglobal(L, row.name);
  }
}
