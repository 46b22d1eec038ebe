// Remote fetch jobs over libcurl's easy interface.
#include "host/fetch.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <curl/curl.h>

#include "base/cpu_budget.h"
#include "base/klog.h"
#include "machine/memory_room.h"
#include "machine/process.h"

gurl_slot gurl_slots[GURL_SLOTS];
uint32_t next_gurl_job_id = 1;
std::atomic<int32_t> gurl_in_flight{0};
std::atomic<uint64_t> gurl_held_bytes{0};
gurl_limits_record gurl_limits;

// Every job whose worker may still run, whatever slot it had; main thread.
static std::vector<std::weak_ptr<gurl_job>> gurl_running;

// The pages that hold a mapped buffer of that capacity.
static uint64_t gurl_mapped_length(uint64_t capacity) {
  static const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
  return (capacity + page - 1) / page * page;
}

// Maps or grows a mapped buffer's pages to hold cap bytes (new pages read
// as zeros); false, with the buffer unchanged, past GURL_HELD_MAX or when
// the host refuses.
static bool gurl_grow_mapped(gurl_buffer *b, uint64_t cap) {
  uint64_t old_len = b->data ? gurl_mapped_length(b->capacity) : 0;
  uint64_t new_len = gurl_mapped_length(cap);
  uint64_t more = new_len - old_len;
  if (gurl_held_bytes.fetch_add(more, std::memory_order_relaxed) + more > GURL_HELD_MAX) {
    gurl_held_bytes.fetch_sub(more, std::memory_order_relaxed);
    return false;
  }
  void *data =
      b->data ? mremap(b->data, old_len, new_len, MREMAP_MAYMOVE)
              : mmap(nullptr, new_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) {
    gurl_held_bytes.fetch_sub(more, std::memory_order_relaxed);
    return false;
  }
  b->data = static_cast<uint8_t *>(data);
  b->capacity = cap;
  return true;
}

void gurl_buffer_free(gurl_buffer *b) {
  if (b->data && b->mapped) {
    uint64_t len = gurl_mapped_length(b->capacity);
    munmap(b->data, len);
    gurl_held_bytes.fetch_sub(len, std::memory_order_relaxed);
  } else {
    std::free(b->data);
  }
  b->data = nullptr;
  b->length = b->position = b->capacity = 0;
}

bool gurl_buffer_write(gurl_buffer *b, const void *bytes, uint64_t n) {
  uint64_t needed = b->position + n + 1;
  if (needed < n || needed > (UINT64_MAX >> 2)) return false;
  if (b->capacity < needed) {
    uint64_t cap = b->capacity < 256 ? 256 : b->capacity;
    while (cap < needed) cap *= 2;
    if (b->mapped) {
      if (!gurl_grow_mapped(b, cap)) return false;
    } else {
      auto *data = static_cast<uint8_t *>(std::realloc(b->data, cap));
      if (!data) return false;
      std::memset(data + b->capacity, 0, cap - b->capacity);
      b->data = data;
      b->capacity = cap;
    }
  }
  if (n) std::memcpy(b->data + b->position, bytes, n);
  b->position += n;
  b->length = b->position;
  b->data[b->length] = 0;
  return true;
}

static void gurl_finish(gurl_job *job, uint32_t status) {
  // What arrived of a failed download is of no use: let it go.
  if (status == GURL_FAILED) {
    gurl_buffer_free(&job->response);
    if (job->owner_bytes) job->owner_bytes->fetch_sub(job->counted, std::memory_order_relaxed);
    job->counted = 0;
  }
  // A response always ends with a 0, an empty one too (when it can be had).
  if (!job->response.data) gurl_buffer_write(&job->response, "", 0);
  job->status.store(status, std::memory_order_release);
  if (job->callback) job->callback(job);
}

size_t gurl_curl_write(char *bytes, size_t size, size_t count, void *data) {
  auto *job = static_cast<gurl_job *>(data);
  size_t n = size * count;
  if (job->cancelled.load(std::memory_order_relaxed) ||
      job->response.length + n > job->limits.response_max)
    return 0;
  // The owner's jobs together stay within its room too.
  if (job->owner_bytes &&
      job->owner_bytes->fetch_add(n, std::memory_order_relaxed) + n > job->owner_room) {
    job->owner_bytes->fetch_sub(n, std::memory_order_relaxed);
    return 0;
  }
  if (!gurl_buffer_write(&job->response, bytes, n)) {
    if (job->owner_bytes) job->owner_bytes->fetch_sub(n, std::memory_order_relaxed);
    return 0;
  }
  job->counted += n;
  job->last_chunk = n;
  job->status.store(GURL_RECEIVING, std::memory_order_release);
  if (job->callback) job->callback(job);
  return n;
}

// libcurl's progress function: a cancelled job ends its transfer, also while
// it waits for a connection or for bytes.
static int gurl_curl_progress(void *data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<gurl_job *>(data)->cancelled.load(std::memory_order_relaxed) ? 1 : 0;
}

// libcurl and the many libraries it needs (TLS, name lookup, compression)
// are loaded at the first download, not at start-up: a workstation that never
// fetches pays neither their loading time nor their memory.
struct gurl_curl_calls {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
};
static gurl_curl_calls gurl_curl;

// The library's name; a test build names one that is missing or incomplete.
#ifndef KVD_CURL_LIBRARY
#define KVD_CURL_LIBRARY "libcurl.so.4"
#endif

template <typename F>
static bool gurl_find(void *lib, const char *name, F *to, const char **missing) {
  *to = reinterpret_cast<F>(dlsym(lib, name));
  if (!*to && !*missing) *missing = name;
  return *to != nullptr;
}

// Loads libcurl once and sets it up; false when it cannot be had, and every
// download then fails. The one log line says why: the library is not there,
// lacks a call, or its set-up failed. Main thread, before the first worker
// starts: libcurl's global set-up is not thread-safe.
static bool gurl_load_curl() {
  static const bool ready = [] {
    void *lib = dlopen(KVD_CURL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      const char *why = dlerror();
      klog("** downloads unavailable: %s could not be loaded (%s)\n", KVD_CURL_LIBRARY,
           why ? why : "no reason given");
      return false;
    }
    gurl_curl_calls c;
    const char *missing = nullptr;
    gurl_find(lib, "curl_global_init", &c.global_init, &missing);
    gurl_find(lib, "curl_easy_init", &c.easy_init, &missing);
    gurl_find(lib, "curl_easy_setopt", &c.easy_setopt, &missing);
    gurl_find(lib, "curl_easy_perform", &c.easy_perform, &missing);
    gurl_find(lib, "curl_easy_cleanup", &c.easy_cleanup, &missing);
    if (missing) {
      klog("** downloads unavailable: %s has no %s\n", KVD_CURL_LIBRARY, missing);
      dlclose(lib);
      return false;
    }
    if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      klog("** downloads unavailable: %s could not be set up\n", KVD_CURL_LIBRARY);
      return false;
    }
    gurl_curl = c;
    return true;
  }();
  return ready;
}

static void gurl_run_transfer(gurl_job *job) {
  CURL *curl = gurl_curl.easy_init ? gurl_curl.easy_init() : nullptr;
  if (!curl) {
    gurl_finish(job, GURL_FAILED);
    return;
  }
  job->curl = curl;
  gurl_curl.easy_setopt(curl, CURLOPT_URL, reinterpret_cast<const char *>(job->url.data));
  gurl_curl.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  gurl_curl.easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  gurl_curl.easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, gurl_curl_progress);
  gurl_curl.easy_setopt(curl, CURLOPT_XFERINFODATA, job);
  gurl_curl.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // time-outs without signals, on any thread
  gurl_curl.easy_setopt(curl, CURLOPT_WRITEFUNCTION, gurl_curl_write);
  gurl_curl.easy_setopt(curl, CURLOPT_WRITEDATA, job);
  const gurl_limits_record &limits = job->limits;
  gurl_curl.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms);
  gurl_curl.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes);
  gurl_curl.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_seconds);
  gurl_curl.easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.total_timeout_ms);
  gurl_curl.easy_setopt(curl, CURLOPT_MAXREDIRS, limits.redirects_max);
  gurl_curl.easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)limits.response_max);
  // Remote files only: other schemes (file: among them) would read the
  // host's own files past the workstation's file system.
  gurl_curl.easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  gurl_curl.easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  CURLcode rc = gurl_curl.easy_perform(curl);
  gurl_finish(job, rc == CURLE_OK ? GURL_DONE : GURL_FAILED);
  gurl_curl.easy_cleanup(curl);
  job->curl = nullptr;
}

int gurl_get_worker(void *data) {
  std::unique_ptr<std::shared_ptr<gurl_job>> hold(static_cast<std::shared_ptr<gurl_job> *>(data));
  gurl_run_transfer(hold->get());
  gurl_in_flight.fetch_sub(1, std::memory_order_acq_rel);
  return 0;
}

void gurl_cancel_jobs_of(int64_t owner) {
  for (const std::weak_ptr<gurl_job> &w : gurl_running)
    if (std::shared_ptr<gurl_job> job = w.lock())
      if (job->owner == owner) job->cancelled.store(true, std::memory_order_relaxed);
  for (gurl_slot &slot : gurl_slots)
    if (slot.job && slot.job->owner == owner) slot.job.reset();
}

// Jobs held in the slots by that process.
static int32_t gurl_jobs_of(int64_t owner) {
  int32_t n = 0;
  for (const gurl_slot &slot : gurl_slots)
    if (slot.job && slot.job->owner == owner) n++;
  return n;
}

// The next id whose slot is free (ids still only grow), or GURL_NO_JOB when
// every slot is held.
static uint32_t gurl_take_id() {
  for (uint32_t i = 0; i < GURL_SLOTS; i++) {
    uint32_t id = next_gurl_job_id++;
    if (id == GURL_NO_JOB) id = next_gurl_job_id++;
    if (!gurl_slots[id % GURL_SLOTS].job) return id;
  }
  return GURL_NO_JOB;
}

// Forgets the jobs whose workers have ended and whose records are gone.
static void gurl_prune_running() {
  size_t kept = 0;
  for (size_t i = 0; i < gurl_running.size(); i++) {
    std::shared_ptr<gurl_job> job = gurl_running[i].lock();
    if (job && job->status.load(std::memory_order_acquire) < GURL_DONE)
      gurl_running[kept++] = gurl_running[i];
  }
  gurl_running.resize(kept);
}

uint32_t gurl_get(const char *url, const char *extra, gurl_callback callback) {
  if (!url) return GURL_NO_JOB;
  spend_cpu(GURL_START_CYCLES);
  int64_t owner = cproc ? cproc->id : 0;
  if (gurl_jobs_of(owner) >= GURL_PROCESS_SHARE) return GURL_NO_JOB;
  uint32_t id = gurl_take_id();
  if (id == GURL_NO_JOB) return GURL_NO_JOB;
  gurl_load_curl();
  gurl_slot &slot = gurl_slots[id % GURL_SLOTS];
  auto job = std::make_shared<gurl_job>();
  job->id = id;
  job->response.mapped = true;  // its storage is had by the worker
  gurl_buffer_write(&job->url, url, std::strlen(url));
  if (extra) gurl_buffer_write(&job->extra, extra, std::strlen(extra));
  job->callback = callback;
  job->owner = owner;
  for (const gurl_slot &other : gurl_slots)
    if (other.job && other.job->owner == owner && other.job->owner_bytes) {
      job->owner_bytes = other.job->owner_bytes;
      break;
    }
  if (!job->owner_bytes) job->owner_bytes = std::make_shared<std::atomic<uint64_t>>(0);
  job->limits = gurl_limits;
  // A body the process could not take in is of no use to it.
  uint64_t room = (uint64_t)std::max<int64_t>(memory_room_left(), 0);
  job->owner_room = room;
  if (room < job->limits.response_max) job->limits.response_max = room;
  slot.job = job;
  if (gurl_in_flight.load(std::memory_order_acquire) >= GURL_IN_FLIGHT_MAX) {
    gurl_finish(job.get(), GURL_FAILED);
    return id;
  }
  gurl_prune_running();
  gurl_running.push_back(job);
  gurl_in_flight.fetch_add(1, std::memory_order_acq_rel);
  // The worker holds its record itself, so nothing ever waits for it: it is
  // detached at once and its thread's resources go when it ends.
  auto *hold = new std::shared_ptr<gurl_job>(job);
  host_thread *thread = host_create_thread(gurl_get_worker, hold);
  if (!thread) {
    delete hold;
    gurl_in_flight.fetch_sub(1, std::memory_order_acq_rel);
    gurl_finish(job.get(), GURL_FAILED);
  }
  host_destroy_thread(thread);
  return id;
}

gurl_job *gurl_get_job(uint32_t id) {
  gurl_job *job = gurl_slots[id % GURL_SLOTS].job.get();
  return job && job->id == id ? job : nullptr;
}

gurl_job *gurl_get_job_of(uint32_t id, int64_t owner) {
  gurl_job *job = gurl_get_job(id);
  return job && job->owner == owner ? job : nullptr;
}

void gurl_release_job(uint32_t id) {
  if (gurl_get_job(id)) gurl_slots[id % GURL_SLOTS].job.reset();
}

gurl_job *gurl_get_job_by_url(const char *text) {
  if (!text) return nullptr;
  for (gurl_slot &slot : gurl_slots) {
    gurl_job *job = slot.job.get();
    if (!job || !job->url.data) continue;
    uint32_t status = job->status.load(std::memory_order_acquire);
    if ((status == GURL_CREATED || status == GURL_RECEIVING) &&
        std::strstr(reinterpret_cast<const char *>(job->url.data), text))
      return job;
  }
  return nullptr;
}
