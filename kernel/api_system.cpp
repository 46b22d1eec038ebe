// The small system functions of the API: the userland clipboard, mounting,
// the draw target, the working folder and paths, the cart-server path check,
// the mouse pointer, the sprite table, the host window's icon and title,
// MD5 and CRC-32 of strings and single-character indexing. Arguments of the
// wrong type give no result, never a Lua error.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/cpu_budget.h"
#include "base/crc32.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/alloc.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/draw_target.h"
#include "gfx/pixel.h"
#include "gfx/print.h"
#include "pod/md5.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "host/os_host.h"
#include "kernel/api.h"
#include "kernel/file_api.h"
#include "kernel/keep_alive.h"
#include "kernel/process_life.h"

std::string userland_clipboard_text;

int lua54_get_userland_clipboard_text(lua_State *L) {
  lua_pushlstring(L, userland_clipboard_text.data(), userland_clipboard_text.size());
  return 1;
}

int lua54_set_userland_clipboard_text(lua_State *L) {
  // Up to the first zero byte, as a C text would be.
  if (const char *text = file_api_text_arg(L, 1)) userland_clipboard_text = text;
  return 0;
}

int lua54_mount(lua_State *L) {
  if (pmounts >= PDISK_USERLAND_MOUNTS) {
    lua_pushstring(L, "mount: too many mounts");
    return 1;
  }
  const char *point = file_api_text_arg(L, 1), *target = file_api_text_arg(L, 2);
  if (const char *refused = cart_program_mount_refused(point, target)) {
    lua_pushstring(L, refused);
    return 1;
  }
  // cartridges mounted below the point before lie elsewhere now
  if (pmount_entry *m = mount_p_path(point, target)) {
    pbuffer_owner canon(create_buffer_from_buffer_2(m->mount_point, 'c'));
    cart_release_mounts_below(to_cstr(canon.get()));
  }
  return 0;
}

int lua54__set_draw_target(lua_State *L) {
  udata *ud = to_udata(L, 1);
  if (!ud || !cproc) return 0;
  keep_alive_set(L, KEEP_DRAW_TARGET, 1);
  cproc->draw_target = ud;
  alloc_release_lost_target(cproc);
  // A paused print goes on only into the bitmap it started in.
  if (cproc->print.target != ud) destroy_print_buffer(&cproc->print);
  poke2(RAM_CLIP_RECT, 0);
  poke2(RAM_CLIP_RECT + 2, 0);
  poke2(RAM_CLIP_RECT + 4, int32_t(ud->width));
  poke2(RAM_CLIP_RECT + 6, int32_t(ud->height));
  // The rectangle is rebuilt for the new target even when the clip words
  // happen to equal the old ones.
  cproc->target_clip_word = ~uint64_t(uint32_t(peek4(RAM_CLIP_RECT)));
  refresh_target_clip(cproc);
  return 0;
}

int lua54_get_process_pwd(lua_State *L) {
  lua_pushstring(L, cproc ? cproc->pwd : "/");
  return 1;
}

// Stores a working folder of at most `max` characters; a longer one is ignored.
static void store_pwd(const char *path, size_t max) {
  if (std::strlen(path) <= max) std::snprintf(cproc->pwd, sizeof cproc->pwd, "%s", path);
}

int lua54_set_process_pwd(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  if (!path || !cproc) return 0;
  if (lua_toboolean(L, 2)) {
    store_pwd(path, 256);
    return 0;
  }
  pbuffer_owner canon(normalise_kavelund_path(path));
  if (!canon) return 0;
  const char *folder = to_cstr(canon.get());
  if (pdisk_directory_exists(folder, true)) {
    store_pwd(folder, 255);
    return 0;
  }
  lua_pushstring(L, "path not found");
  return 1;
}

static int push_collapsed(lua_State *L, int trace) {
  size_t len = 0;
  const char *path = file_api_text_arg(L, 1, &len);
  if (!path) return 0;
  pbuffer_owner out(collapse_path(path, int(len), trace));
  if (!out) return 0;
  lua_pushlstring(L, (const char *)out->data, size_t(out->length));
  return 1;
}

int lua54_normalise_userland_path(lua_State *L) { return push_collapsed(L, 0); }
int lua54_normalise_userland_path_debug(lua_State *L) { return push_collapsed(L, 1); }

int lua54_is_well_formed_bbs_path(lua_State *L) {
  size_t len = 0;
  const char *s = file_api_text_arg(L, 1, &len);
  if (!s) return 0;
  bool ok = true;
  for (size_t i = 6; i < len && ok; i++) {
    unsigned char c = (unsigned char)s[i];
    ok = (c >= 'a' && c <= 'z') || c == '_' || (c >= '.' && c <= '9');
  }
  lua_pushboolean(L, ok);
  return 1;
}

int lua54__warp_mouse(lua_State *L) {
  host_warp_mouse_pointer(int32_t(kvd_intp(L, 1, 0)), int32_t(kvd_intp(L, 2, 0)));
  return 0;
}

int lua54__set_spr(lua_State *L) {
  if (!cproc) return 0;
  int32_t n = int32_t(kvd_intp(L, 1, 0) & GFX_MAP_SPRITE_MASK);
  udata *ud = to_udata(L, 2);
  keep_alive_set(L, KEEP_SPRITES + n, ud ? 2 : 0);
  cproc->sprites[n] = ud ? ud : get_null_sprite();
  return 0;
}

// Icons are 16 by 16 colour indices.
static constexpr uint32_t icon_side = 16;

int lua54__set_host_window_icon(lua_State *L) {
  if (lua_type(L, 1) != LUA_TUSERDATA) {
    host_set_window_icon(nullptr, 0, 0, nullptr);
    return 0;
  }
  udata *ud = to_udata(L, 1);
  if (!ud || (ud->utype & 31) != UTYPE_U8 || ud->width != icon_side || ud->height != icon_side)
    return 0;
  host_set_window_icon(udata_elements(ud), icon_side, icon_side, system_palette);
  return 0;
}

int lua54__set_host_window_title(lua_State *L) {
  if (const char *text = file_api_text_arg(L, 1)) host_set_window_title(text);
  return 0;
}

int lua54__md5(lua_State *L) {
  size_t len = 0;
  const char *s = file_api_text_arg(L, 1, &len);
  if (!s) return 0;
  char digest[33];
  md5(s, int64_t(len), digest);
  spend_cpu(int64_t(len / 2));
  lua_pushstring(L, digest);
  return 1;
}

int lua54__crc(lua_State *L) {
  size_t len = 0;
  const char *s = file_api_text_arg(L, 1, &len);
  if (!s) return 0;
  spend_cpu(int64_t(len / 8));
  lua_pushinteger(L, lua_Integer(crc32b(s, int64_t(len))));
  return 1;
}

int lua54__strindex(lua_State *L) {
  int32_t i = int32_t(kvd_intp(L, 2, -1));
  size_t len = 0;
  const char *s = file_api_text_arg(L, 1, &len);
  if (s && i >= 1 && size_t(i) <= len)
    lua_pushlstring(L, s + i - 1, 1);
  else
    lua_pushnil(L);
  return 1;
}
