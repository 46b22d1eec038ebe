// Host file reads and atomic host file replacement.
#include "pdisk/host_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/klog.h"
#include "pdisk/path.h"

// Marks the temporary files of host_write_begin: "~" is no path character.
static constexpr const char *TEMP_MARK = "~kvdtmp~";

// Opens a regular file or a folder for reading. Anything else (a pipe or a
// device would block or never end) and files too large for a buffer are
// refused with errno EINVAL.
static FILE *open_for_reading(const char *host_path) {
  int fd = open(host_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) ||
      st.st_size >= INT32_MAX) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

bool host_file_is_readable(const char *host_path) {
  FILE *f = open_for_reading(host_path);
  if (!f) return false;
  fclose(f);
  return true;
}

int host_file_read(const char *host_path, pbuffer *out, int limit) {
  FILE *f = open_for_reading(host_path);
  if (!f) return -1;
  // A folder opens, but it holds no bytes: read as a file it would look
  // like an empty one, and a copy of it would empty its destination.
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
    fclose(f);
    errno = EISDIR;
    return -1;
  }
  static unsigned char chunk[16384];
  int result = 0;
  for (;;) {
    if (limit >= 0 && out->length >= limit) break;
    size_t n = fread(chunk, 1, sizeof chunk, f);
    if (n == 0) break;
    out->cursor = out->length;
    if (bwrite(chunk, 1, n, out) != (int64_t)n) {
      result = -1;
      break;
    }
  }
  fclose(f);
  return result;
}

pbuffer *host_real_path(const char *host_path) {
  std::string out = host_path;
  if (char *real = realpath(host_path, nullptr)) {
    out = real;
    free(real);
  } else if (size_t slash = out.rfind('/'); slash != std::string::npos && slash > 0) {
    if (char *folder = realpath(out.substr(0, slash).c_str(), nullptr)) {
      out = std::string(folder) + out.substr(slash);
      free(folder);
    }
  }
  return create_buffer_from_str(out.c_str());
}

// The file a write of host_path replaces: the target of a symbolic link, so
// that the rename keeps the link, else host_path itself.
static std::string write_target(const char *host_path) {
  struct stat st;
  if (lstat(host_path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char *real = realpath(host_path, nullptr);
    if (real) {
      std::string r = real;
      free(real);
      return r;
    }
  }
  return host_path;
}

FILE *host_write_begin(const char *host_path, pbuffer **tmp_path) {
  static std::atomic<unsigned> counter;  // downloads write from their worker threads
  std::string target = write_target(host_path);
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  // An existing file the host would not let us write stays refused, even
  // though its folder would take the replacement; so does anything but a
  // regular file (a folder, a pipe, a device), which the rename would
  // replace or fail on.
  struct stat existing;
  bool exists = stat(target.c_str(), &existing) == 0;
  if (base.empty() || (exists && (!S_ISREG(existing.st_mode) || access(target.c_str(), W_OK) != 0)))
    return nullptr;
  // The temporary name keeps within the host's 255-byte name limit however
  // long the target's name is; O_EXCL keeps it unique. Its "~" marks and a
  // stem of path characters only make a name no workstation path can give,
  // so a person's file is never taken for one.
  std::string stem = base.substr(0, 200);
  for (char &c : stem)
    if (!is_path_char((unsigned char)c)) c = '_';
  for (int attempt = 0; attempt < 64; attempt++) {
    std::string tmp =
        dir + "." + stem + TEMP_MARK + std::to_string(getpid()) + "~" + std::to_string(counter++);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (exists) fchmod(fd, existing.st_mode & 07777);
    FILE *f = fdopen(fd, "wb");
    if (!f) {
      close(fd);
      unlink(tmp.c_str());
      return nullptr;
    }
    *tmp_path = create_buffer_from_str(tmp.c_str());
    return f;
  }
  return nullptr;
}

static bool copy_existing(FILE *tmp, const std::string &target) {
  FILE *src = open_for_reading(target.c_str());
  if (!src) return errno == ENOENT;
  static unsigned char chunk[16384];
  bool ok = true;
  size_t n;
  while (ok && (n = fread(chunk, 1, sizeof chunk, src)) > 0) ok = fwrite(chunk, 1, n, tmp) == n;
  ok = ok && !ferror(src);
  fclose(src);
  return ok;
}

int host_write_settle(FILE *tmp, const pbuffer *tmp_path, const char *host_path,
                      const pbuffer *data, int append) {
  const char *tmp_name = (const char *)tmp_path->data;
  bool ok = !append || copy_existing(tmp, write_target(host_path));
  if (ok && data->length > 0) ok = fwrite(data->data, 1, data->length, tmp) == (size_t)data->length;
  ok = fflush(tmp) == 0 && ok;
  ok = fsync(fileno(tmp)) == 0 && ok;
  ok = fclose(tmp) == 0 && ok;
  if (ok) return 0;
  unlink(tmp_name);
  return -1;
}

int host_write_commit(const pbuffer *tmp_path, const char *host_path) {
  const char *tmp_name = (const char *)tmp_path->data;
  if (rename(tmp_name, write_target(host_path).c_str()) == 0) return 0;
  unlink(tmp_name);
  return -1;
}

int host_write_finish(FILE *tmp, const pbuffer *tmp_path, const char *host_path,
                      const pbuffer *data, int append) {
  if (host_write_settle(tmp, tmp_path, host_path, data, append) != 0) return -1;
  return host_write_commit(tmp_path, host_path);
}

void host_write_abandon(FILE *tmp, const pbuffer *tmp_path) {
  fclose(tmp);
  if (tmp_path) unlink((const char *)tmp_path->data);
}

bool host_entry_is_folder(const char *host_folder, const struct dirent *e) {
  if (e->d_type == DT_DIR) return true;
  if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) return false;
  std::string path = std::string(host_folder) + "/" + e->d_name;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The writer's process id of a temporary file name ".STEM~kvdtmp~PID~N"
// (STEM of path characters), or -1 for any other name.
static long temp_file_writer(const char *name) {
  const char *mark = strstr(name, TEMP_MARK);
  if (name[0] != '.' || !mark || mark == name + 1) return -1;
  for (const char *c = name; c < mark; c++)
    if (!is_path_char((unsigned char)*c)) return -1;
  const char *p = mark + strlen(TEMP_MARK);
  if (*p < '1' || *p > '9') return -1;
  char *end = nullptr;
  long pid = strtol(p, &end, 10);
  if (*end != '~' || pid <= 0) return -1;
  p = end + 1;
  if (*p < '0' || *p > '9') return -1;
  strtoul(p, &end, 10);
  return *end == 0 ? pid : -1;
}

static bool writer_is_running(long pid) {
  return pid == (long)getpid() || kill((pid_t)pid, 0) == 0 || errno == EPERM;
}

static int remove_stale_in(const std::string &folder, int depth) {
  DIR *d = opendir(folder.c_str());
  if (!d) return 0;
  int removed = 0;
  std::vector<std::string> below;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string path = folder + "/" + e->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      below.push_back(path);
      continue;
    }
    long pid = S_ISREG(st.st_mode) ? temp_file_writer(e->d_name) : -1;
    if (pid > 0 && !writer_is_running(pid) && unlink(path.c_str()) == 0) removed++;
  }
  closedir(d);
  if (depth < 32)
    for (const std::string &sub : below) removed += remove_stale_in(sub, depth + 1);
  return removed;
}

int host_remove_stale_temp_files(const char *host_folder) {
  if (!host_folder || !host_folder[0]) return 0;
  int removed = remove_stale_in(host_folder, 0);
  if (removed > 0) klog("removed %d unfinished temporary files under %s\n", removed, host_folder);
  return removed;
}
