// Lua functions of the file API: fetching and storing files, metadata,
// folders, copies, deletions, the history queries and remote downloads.
#include "kernel/file_api.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "machine/memory_room.h"
#include "machine/process.h"
#include "lang/args.h"
#include "userdata/udata.h"
#include "gfx/pixel.h"
#include "pod/png_buffer.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "pdisk/cache.h"
#include "pdisk/cart_mount.h"
#include "pdisk/fetched_buffer.h"
#include "pdisk/fileops.h"
#include "pdisk/listing.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "anywhen/anywhen.h"
#include "host/fetch.h"

const char *file_api_text_arg(lua_State *L, int index, size_t *len) {
  int t = lua_type(L, index);
  if (t != LUA_TSTRING && t != LUA_TNUMBER) return nullptr;
  return lua_tolstring(L, index, len);
}

static const char *const RAW_FORMAT = "--[[pod_format=\"raw\"";
static const char *const NO_METADATA = "metadata_format=\"none\"";

static bool asks_for_no_metadata(const char *metadata) {
  return metadata && strstr(metadata, NO_METADATA) != nullptr;
}

int lua54_fetch_local(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  if (!path) return 0;
  int64_t flags = kvd_intp(L, 2, 0);
  if ((flags & 2) || kvd_path_kind(path) != KVD_NONE) {
    pfile_entry *f = pfopen(path, "rf");
    if (!f) return 0;
    lua_pushlstring(L, (const char *)f->data->data, f->data->length);
    pfclose(f);
    return 1;
  }
  pfile_entry *f = pfopen(path, "rb");
  if (!f) return 0;
  int n = unpod_from_fetched_buffer(L, f->data, path, (int)flags);
  pfclose(f);
  return n;
}

// Opens path with mode and replaces its contents with data. Nothing on
// success; else the error text `store` gives back (the file is as it was).
// A program may not change the folder of the unpacked cartridges, and a RAM
// file it writes counts against its memory limit.
static const char *write_whole(const char *path, const char *mode, const pbuffer *data) {
  if (cart_path_reserved(path)) return "could not open file for writing";
  if (!pfile_write_fits(path, data->length)) return "could not write file: out of memory";
  pfile_entry *f = pfopen(path, mode);
  if (!f) return "could not open file for writing";
  pfwrite(data->data, 1, data->length, f);
  pfile_charge_writer(f);
  return pfclose(f) == 0 ? nullptr : "could not write file";
}

static const char *const WRONG_VALUE = "could not store: not a value this kind of file holds";

// The results of a file call: nothing, or its error text.
static int push_error(lua_State *L, const char *error) {
  if (!error) return 0;
  lua_pushstring(L, error);
  return 1;
}

// A two-dimensional u8 (colour indices through the process palette) or i32
// (0xAARRGGBB pixels, as fetch gives them back) userdata stored as a PNG.
static int store_png(lua_State *L, const char *path) {
  const udata *ud = to_udata(L, 2);
  if (!ud || ud->dims != 2 || (ud->utype != UTYPE_U8 && ud->utype != UTYPE_I32))
    return push_error(L, WRONG_VALUE);
  uint64_t n = udata_count(ud);
  std::vector<uint8_t> rgba(n * 4);
  const uint8_t *el = udata_elements(ud);
  if (ud->utype == UTYPE_U8) {
    convert_bitmap_8_to_32(el, rgba.data(), (int64_t)n);
  } else {
    for (uint64_t k = 0; k < n; k++) {
      uint32_t v;
      memcpy(&v, el + 4 * k, 4);
      rgba[4 * k] = uint8_t(v >> 16);
      rgba[4 * k + 1] = uint8_t(v >> 8);
      rgba[4 * k + 2] = uint8_t(v);
      rgba[4 * k + 3] = uint8_t(v >> 24);
    }
  }
  pbuffer_owner png(create_buffer_2(1024, 'p'));
  if (LodePNG_encode32_pbuffer(rgba.data(), ud->width, ud->height, png.get()) != 0)
    return push_error(L, "could not encode png");
  const char *error = write_whole(path, "wb", png.get());
  spend_cpu((int64_t)(n & 0x3fffffff));
  return push_error(L, error);
}

int lua54_store_local(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  if (!path) return 0;
  size_t meta_len = 0;
  const char *metadata = lua_type(L, 3) == LUA_TSTRING ? lua_tolstring(L, 3, &meta_len) : nullptr;
  int kind = kvd_path_kind(path);
  pbuffer_owner out(create_buffer_2(1024, 'p'));
  if (lua_type(L, 2) == LUA_TSTRING && metadata && strncmp(metadata, RAW_FORMAT, 20) == 0) {
    size_t n = 0;
    const char *s = lua_tolstring(L, 2, &n);
    if ((cproc && cproc->env_given) || !asks_for_no_metadata(metadata)) {
      bwrite(metadata, 1, meta_len, out.get());
      bappend_str(out.get(), "\n");
    }
    bwrite(s, 1, n, out.get());
    return push_error(L, write_whole(path, "w", out.get()));
  }
  const char *ext = get_ext(path);
  if (kind == KVD_NONE && strcmp(ext, "png") != 0 && strcmp(ext, "q7.png") != 0) {
    if (metadata)
      bwrite(metadata, 1, meta_len, out.get());
    else
      bappend_str(out.get(), "--[[pod]]\n");
    // The text is made before the file opens: a value that cannot be
    // written leaves the file as it was.
    if (stringify_object(L, 2, out.get(), POD_FLAG_PXU | POD_FLAG_LZ4, 0) < 0)
      return push_error(L, "could not store: the value is too large");
    return push_error(L, write_whole(path, "w", out.get()));
  }
  if (kind == KVD_NONE) return store_png(L, path);
  if (lua_type(L, 2) != LUA_TSTRING) return push_error(L, WRONG_VALUE);
  size_t n = 0;
  const char *s = lua_tolstring(L, 2, &n);
  if (kind == KVD_PNG && (n < 512 || memcmp(s + 1, "PNG", 3) != 0)) {
    lua_pushstring(L, "invalid .kvd.png file: not a valid PNG");
    return 1;
  }
  bwrite(s, 1, n, out.get());
  // The file is replaced as a whole: its mounts are written back and
  // dropped before (no pending write-back may follow the store) and after
  // (opening the path mounted the old file again), so that the next access
  // reads what was stored.
  // A store that fails leaves the old file and the changes not yet saved.
  cart_release_file(path, true);
  const char *error = write_whole(path, "wf", out.get());
  if (!error) cart_release_file(path);
  return push_error(L, error);
}

int lua54_cache_store(lua_State *L) {
  const char *folder = file_api_text_arg(L, 1), *name = file_api_text_arg(L, 2);
  size_t n = 0;
  const char *data = file_api_text_arg(L, 3, &n);
  if (folder && name && data) cache_store(folder, name, data, (int64_t)n);
  return 0;
}

int lua54_cache_fetch(lua_State *L) {
  const char *folder = file_api_text_arg(L, 1), *name = file_api_text_arg(L, 2);
  if (!folder || !name) return 0;
  pbuffer_owner b(cache_fetch(folder, name, lua_toboolean(L, 3)));
  if (!b || b->length < CACHE_MIN_BYTES) return 0;
  lua_pushlstring(L, (const char *)b->data, b->length);
  return 1;
}

int lua54_fetch_anywhen(lua_State *L) {
  const char *query = file_api_text_arg(L, 1);
  if (!query) return 0;
  pbuffer_owner b(anywhen_fetch(query));
  if (!b) return 0;
  return unpod_from_fetched_buffer(L, b.get(), query, (int)kvd_intp(L, 2, 0));
}

int lua54_list_anywhen_by_day(lua_State *L) {
  const char *q = file_api_text_arg(L, 1);
  return q ? anywhen_list_by_day(L, q) : 0;
}

int lua54_list_anywhen_by_loc(lua_State *L) {
  const char *q = file_api_text_arg(L, 1);
  return q ? anywhen_list_by_loc(L, q) : 0;
}

int lua54_list_anywhen_folder_moment(lua_State *L) {
  const char *q = file_api_text_arg(L, 1);
  return q ? anywhen_list_by_folder_moment(L, q) : 0;
}

static int no_network(lua_State *L, int nils) {
  for (int i = 0; i < nils; i++) lua_pushnil(L);
  lua_pushstring(L, "no network access");
  return nils + 1;
}

int lua54_fetch_remote(lua_State *L) {
  const char *url = file_api_text_arg(L, 1);
  if (!url) return 0;
  if (!config.network_access) return no_network(L, 1);
  std::string cache_path = cart_cache_host_path(url);
  lua_pushinteger(L, gurl_get(url, cache_path.empty() ? nullptr : cache_path.c_str(), gurl_cb));
  return 1;
}

int lua54_fetch_remote_result(lua_State *L) {
  if (!config.network_access) return no_network(L, 2);
  // A job answers only the process that started it; one that is gone (or
  // never was) reads as failed, never as still running.
  uint32_t id = (uint32_t)kvd_intp(L, 1, 0);
  gurl_job *job = gurl_get_job_of(id, cproc ? cproc->id : 0);
  uint32_t status = job ? job->status.load(std::memory_order_acquire) : GURL_FAILED;
  if (status != GURL_DONE && status != GURL_FAILED) return 0;
  // A body the process cannot take in fails; the process lives.
  if (status == GURL_DONE && (int64_t)job->response.length >= memory_room_left())
    status = GURL_FAILED;
  if (status == GURL_FAILED) {
    if (job) gurl_release_job(id);
    lua_pushnil(L);
    lua_pushnil(L);
    lua_pushstring(L, "could not download");
    return 3;
  }
  // Read once: the job's bytes go as soon as they are copied.
  spend_cpu((int64_t)(job->response.length / GURL_BYTES_PER_CYCLE));
  pbuffer_owner b(create_buffer_2((int32_t)job->response.length, 'p'));
  if (job->response.length) bwrite(job->response.data, 1, job->response.length, b.get());
  b->cursor = 0;
  std::string url = job->url.data ? (const char *)job->url.data : "";
  gurl_release_job(id);
  return unpod_from_fetched_buffer(L, b.get(), url.c_str(), 0);
}

static bool begins_with_pod_header(const pbuffer *b) {
  return b->length >= 7 && memcmp(b->data, "--[[pod", 7) == 0;
}

int lua54_fetch_metadata(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  pfile_entry *f = path ? pfopen(path, "rm") : nullptr;
  if (!f) return 0;
  int n = 0;
  if (begins_with_pod_header(f->data))
    n = destringify_object_metadata(L, (const char *)f->data->data, f->data->length);
  pfclose(f);
  return n;
}

int lua54_store_metadata_str(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  size_t meta_len = 0;
  const char *metadata = file_api_text_arg(L, 2, &meta_len);
  if (!path || !metadata) return 0;
  pbuffer_owner out(create_buffer_2(1024, 'p'));
  pfile_entry *f = pfopen(path, "r");
  if (!f) {
    bwrite(metadata, 1, meta_len, out.get());
  } else {
    int64_t skip = find_metadata_length((const char *)f->data->data, f->data->length);
    if (!asks_for_no_metadata(metadata)) bwrite(metadata, 1, meta_len, out.get());
    bwrite(f->data->data + skip, 1, (uint64_t)(f->data->length - skip), out.get());
    pfclose(f);
  }
  write_whole(path, "w", out.get());
  return 0;
}

int lua54_list_files(lua_State *L) {
  const char *path = lua_isnoneornil(L, 1) ? "/" : file_api_text_arg(L, 1);
  return path ? pflist(path, L) : 0;
}

int lua54_mkdir(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  const char *message = nullptr;
  if (!path)
    message = "mkdir: no path";
  else if (pdisk_directory_exists(path, true))
    message = "mkdir: directory already exists";
  else if (cart_path_reserved(path) || !pfile_write_fits(path, 0) || pmkdir(path) != 0)
    message = "mkdir failed";
  else  // a RAM folder's record counts against its maker's memory, as a file's
    pfile_charge_writer_at(path);
  if (!message) return 0;
  lua_pushstring(L, message);
  return 1;
}

int lua54_fstat(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  pbuffer_owner canon(path ? normalise_kavelund_path(path) : nullptr);
  if (!canon) return 0;
  const char *p = to_cstr(canon.get());
  if (kvd_path_kind(p) != KVD_NONE) flush_dirty_mounts_immediately();
  const char *description = get_mount_description(p);
  std::string desc = description ? description : "";
  bool folder = pdisk_directory_exists(p, true);
  if (!folder && !pdisk_file_exists(p)) return 0;
  lua_pushstring(L, folder ? "folder" : "file");
  lua_pushinteger(L, (int32_t)pfile_size(p, folder ? 1 : 0));
  if (description)
    lua_pushstring(L, desc.c_str());
  else
    lua_pushnil(L);
  return 3;
}

int lua54_resolve_filename(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  if (!path) return 0;
  if (strncmp(path, "anywhen://", 10) == 0) {
    lua_pushstring(L, path);
    return 1;
  }
  pbuffer_owner canon(normalise_kavelund_path(path));
  if (!canon) return 0;
  lua_pushlstring(L, (const char *)canon->data, canon->length);
  return 1;
}

int lua54__fcopy(lua_State *L) {
  const char *src = file_api_text_arg(L, 1), *dst = file_api_text_arg(L, 2);
  if (!src || !dst) return push_error(L, "cp: no path");
  if (cart_path_reserved(dst)) return push_error(L, "cp: could not write destination");
  bool found = false;
  int64_t copied = fcopy(src, dst, &found);
  if (copied > 0) spend_cpu(copied);
  if (!found) return push_error(L, "cp: could not read source");
  return push_error(L, copied < 0 ? "cp: could not write destination" : nullptr);
}

int lua54__fdelete(lua_State *L) {
  const char *path = file_api_text_arg(L, 1);
  if (!path) return 0;
  bool deleted = !cart_path_reserved(path) && delete_path(path) == 0;
  return push_error(L, deleted ? nullptr : "could not delete file");
}

void gurl_cb(gurl_job *job) {
  if (!job || job->status.load(std::memory_order_acquire) != GURL_DONE ||
      job->response.length < (uint64_t)CACHE_MIN_BYTES ||
      memcmp(job->response.data + 1, "PNG", 3) != 0)
    return;
  if (job->extra.length == 0) {
    printf("** gurl_cb: ignoring invalid png download %s\n", (const char *)job->url.data);
    return;
  }
  write_host_file((const char *)job->extra.data, job->response.data, (int64_t)job->response.length);
}
