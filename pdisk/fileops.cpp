// Whole-file and folder operations: existence, size, copy, new folders and
// deletion, on host folders and in RAM.
#include "pdisk/fileops.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "base/klog.h"
#include "pdisk/cart_mount.h"
#include "pdisk/hooks.h"
#include "pdisk/mount.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

bool pdisk_file_exists(const char *path) {
  pfile_entry *f = pfopen(path, "re");
  if (!f) return false;
  pfclose(f);
  return true;
}

static bool ram_folder_record_exists(const char *origin) {
  pfile_entry *f = get_ram_file_by_name(origin);
  return f && (f->attributes & PFILE_ATTR_FOLDER);
}

bool pdisk_directory_exists(const char *path, bool follow) {
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return false;
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(to_cstr(canon), &kind, 0);
  bool result = false;
  if (origin->length > 0) {
    if (kind == MOUNT_HOST)
      result = host_directory_exists(to_cstr(origin));
    else if (kind == MOUNT_RAM)
      result = ram_folder_record_exists(to_cstr(origin));
  }
  if (!result && follow) {
    for (int i = 0; i < pmounts; i++) {
      if (pmount[i].kind != MOUNT_RAM ||
          strcmp(to_cstr(pmount[i].mount_point), to_cstr(canon)) != 0)
        continue;
      result = pmount[i].folder_flag || pdisk_directory_exists(to_cstr(pmount[i].origin), false);
      break;
    }
  }
  destroy_buffer(canon);
  destroy_buffer(origin);
  return result;
}

bool host_directory_exists(const char *host_path) {
  DIR *d = host_path ? opendir(host_path) : nullptr;
  if (!d) return false;
  closedir(d);
  return true;
}

int64_t pfile_size(const char *path, int skip_exact) {
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(path, &kind, skip_exact);
  int64_t size = 0;
  if (origin->length > 0) {
    struct stat st;
    if (kind == MOUNT_HOST && stat(to_cstr(origin), &st) == 0) {
      size = st.st_size;
    } else if (kind == MOUNT_RAM) {
      pfile_entry *f = get_ram_file_by_name(to_cstr(origin));
      size = f ? f->data->length : 0;
    }
  }
  destroy_buffer(origin);
  return size;
}

// The open mode that reads or writes path as one file: a cartridge is taken
// as its file (its mount written back first), not as the folder it mounts as.
static const char *whole_file_mode(pbuffer *path, char letter) {
  bool cart = path && !block_automounting && kvd_path_kind(to_cstr(path)) != KVD_NONE;
  if (letter == 'r') return cart ? "rf" : "r";
  return cart ? "wf" : "w";
}

int64_t fcopy(const char *src, const char *dst, bool *source_found) {
  pbuffer *s = normalise_kavelund_path(src);
  pbuffer *d = normalise_kavelund_path(dst);
  int64_t copied = 0;
  pfile_entry *in = s ? pfopen(to_cstr(s), whole_file_mode(s, 'r')) : nullptr;
  if (source_found) *source_found = in != nullptr;
  if (in && !d) {
    pfclose(in);
    copied = -1;
  } else if (in) {
    // The bytes are taken before the destination opens: when both paths
    // name one file (directly or through an alias), opening it "w"
    // empties the very buffer being copied.
    pbuffer *bytes = create_buffer_from_buffer_2(in->data, 'd');
    pfclose(in);
    // A cartridge destination is replaced as a whole: its mounts go before
    // and after (opening the path mounts the old file again).
    bool cart = kvd_path_kind(to_cstr(d)) != KVD_NONE && !block_automounting;
    if (cart) cart_release_file(to_cstr(d), true);
    // a RAM copy counts against the copying process's memory limit
    pfile_entry *out = pfile_write_fits(to_cstr(d), bytes->length)
                           ? pfopen(to_cstr(d), whole_file_mode(d, 'w'))
                           : nullptr;
    copied = -1;
    if (out) {
      bwrite(bytes->data, 1, bytes->length, out->data);
      pfile_charge_writer(out);
      copied = pfclose(out) == 0 ? bytes->length : -1;
    }
    // a copy that failed leaves the old file, and the changes not yet saved
    if (cart && copied >= 0) cart_release_file(to_cstr(d));
    destroy_buffer(bytes);
  }
  destroy_buffer(s);
  destroy_buffer(d);
  return copied;
}

int pmkdir(const char *path) {
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return 1;
  int result = 1;
  // A cartridge path becomes a new cartridge, except while a cartridge is
  // being unpacked (automounting blocked): there it is a plain folder.
  if (kvd_path_kind(to_cstr(canon)) != KVD_NONE && !block_automounting) {
    // its file is written where the path leads: that place must keep it
    uint32_t file_kind = 0;
    pbuffer *file = resolve_to_origin(to_cstr(canon), &file_kind, 1);
    bool refused =
        file->length == 0 || cart_change_refused(to_cstr(canon), to_cstr(file), file_kind, false);
    destroy_buffer(file);
    pmount_entry *m = refused ? nullptr : mount_kvd_path(to_cstr(canon));
    if (m) {
      m->dirty = 1;
      m->flush_time = clock_now_ms() + 300;
      result = 0;
    }
    destroy_buffer(canon);
    return result;
  }
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(to_cstr(canon), &kind, 0);
  if (origin->length > 0 && cart_change_refused(to_cstr(canon), to_cstr(origin), kind, false)) {
    result = 1;
  } else if (origin->length > 0 && kind == MOUNT_HOST) {
    // Only a folder that was made is recorded: one already there, a file in
    // the way or a parent that is missing or refuses stays out of the history.
    result = mkdir(to_cstr(origin), 0755);
    if (result == 0) pdisk_record_history(ANYWHEN_MKDIR, to_cstr(canon), to_cstr(origin));
  } else if (origin->length > 0 && kind == MOUNT_RAM && get_index_by_name(to_cstr(origin)) < 0) {
    pfile_entry *f = pfile_insert(origin, PFILE_RAM, origin);
    if (f) {
      f->attributes = PFILE_ATTR_FOLDER;
      f->data = create_buffer_2(0, 'd');
      origin = nullptr;  // owned by the record
      result = 0;
      // a new folder is a change of the cartridge it lies in, even empty
      mark_parent_mount_dirty(to_cstr(f->origin));
    } else {
      printf("** too many files (during mkdir) **\n");
      fflush(stdout);
      klog("** too many files (during mkdir) **\n");
      result = 2;
    }
  }
  destroy_buffer(origin);
  destroy_buffer(canon);
  return result;
}

int delete_ram_files_in_path(const char *ram_path) {
  int n = 0;
  for (int i = 0; ram_path && i < num_pfiles; i++) {
    pfile_entry *f = pfile[i];
    if (f && f->kind == PFILE_RAM && path_is_at_or_below(to_cstr(f->origin), ram_path)) {
      pfile_release(f);
      n++;
    }
  }
  return n;
}

// True when a folder on the way to the canonical path is a cartridge name:
// a path that reached the host through it lies in a cartridge that could
// not be mounted (refused for room), not in nothing.
static bool path_passes_a_cartridge(const char *canon) {
  for (const char *slash = strchr(canon + 1, '/'); slash; slash = strchr(slash + 1, '/'))
    if (kvd_path_kind(std::string(canon, size_t(slash - canon)).c_str()) != KVD_NONE) return true;
  return false;
}

// True when a RAM folder at or below ram_path stands behind a cartridge or a
// folder the system mounted: releasing it would leave that mount pointing at
// nothing, and a cartridge written back then would lose its files.
static bool ram_path_holds_a_mount(const char *ram_path) {
  for (int i = 0; i < pmounts; i++) {
    const pmount_entry &m = pmount[i];
    if (m.kind == MOUNT_RAM && (m.cart_file || m.fixed) &&
        path_is_at_or_below(to_cstr(m.origin), ram_path))
      return true;
  }
  return false;
}

// True when the mount that a path at the point reaches first was made by
// the system.
static bool system_mount_at(const char *canon) {
  const pmount_entry *m = get_mount_by_mount_point(canon, 0);
  return m && m->fixed;
}

int delete_path(const char *path) {
  pbuffer *canon = normalise_kavelund_path(path);
  if (!canon) return -1;
  // A folder the system mounted (the RAM folder, the system folder, a host
  // folder from the settings) stays with its contents: once gone, nothing
  // short of a reboot would bring the mount back, and the files behind it
  // would be out of reach. A program's mount made at the same point before
  // the system's goes; the system's folder it covered stays.
  if (system_mount_at(to_cstr(canon))) {
    destroy_buffer(canon);
    return -1;
  }
  int result = 0;
  // A cartridge goes as a whole: every mount of its file is written back
  // and dropped first.
  cart_release_file(to_cstr(canon));
  if (get_mount_by_mount_point(to_cstr(canon), 0)) {
    delete_mount_point(to_cstr(canon));
    // cartridges mounted through the point no longer lie under it
    cart_release_mounts_below(to_cstr(canon));
  }
  if (system_mount_at(to_cstr(canon))) {
    destroy_buffer(canon);
    return -1;
  }
  // Cartridges on the way to the path are mounted (a file inside one is
  // deleted there), the path itself is not.
  if (char *slash = strrchr(to_cstr(canon), '/'); slash && slash != to_cstr(canon)) {
    std::string parent(to_cstr(canon), size_t(slash - to_cstr(canon)));
    automount_p_path(parent.data());
  }
  int was_blocked = block_automounting;
  block_automounting = 1;
  uint32_t kind = 0;
  pbuffer *origin = resolve_to_origin(to_cstr(canon), &kind, 0);
  const char *o = to_cstr(origin);
  if (origin->length > 0 && cart_change_refused(to_cstr(canon), o, kind, true)) {
    // a cartridge on the way that is not mounted, or one that takes no
    // change: nothing is deleted in its place
    result = -1;
  } else if (origin->length > 0 && kind == MOUNT_HOST && strcmp(to_cstr(canon), "/") == 0) {
    // The host folder behind the root stays even when empty: without it
    // no host path could be written until the next start.
    result = -1;
  } else if (origin->length > 0 && kind == MOUNT_HOST) {
    // Only a deletion that happened is recorded (a folder with contents
    // stays, and so does a missing path).
    struct stat st;
    if (unlink(o) == 0 || rmdir(o) == 0) {
      pdisk_record_history(ANYWHEN_DELETE, to_cstr(canon), o);
    } else if (lstat(o, &st) == 0 ||
               (errno == ENOTDIR && path_passes_a_cartridge(to_cstr(canon)))) {
      result = -1;
    }
  } else if (origin->length > 0 && kind == MOUNT_RAM && ram_path_holds_a_mount(o)) {
    result = -1;
  } else if (origin->length > 0 && kind == MOUNT_RAM) {
    // Cartridges whose files go with it are dropped first: none may write
    // its file back into the place the deletion empties.
    cart_release_files_in(o, false);
    // RAM records are named by their origin, so the origin is what goes,
    // whichever mount (or alias) the path came through.
    mark_parent_mount_dirty(o);
    delete_ram_files_in_path(o);
  }
  destroy_buffer(origin);
  destroy_buffer(canon);
  block_automounting = was_blocked;
  return result;
}
