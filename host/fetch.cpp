// Remote fetch jobs over libcurl's easy interface.
#include "host/fetch.h"

#include <curl/curl.h>

#include <cstring>

gurl_slot gurl_slots[GURL_SLOTS];
uint32_t next_gurl_job_id = 1;

bool gurl_buffer_write(gurl_buffer *b, const void *bytes, uint64_t n) {
  uint64_t needed = b->position + n + 1;
  if (needed < n) return false;
  if (b->capacity < needed) {
    uint64_t cap = b->capacity < 256 ? 256 : b->capacity;
    while (cap < needed) cap *= 2;
    auto *data = static_cast<uint8_t *>(std::realloc(b->data, cap));
    if (!data) return false;
    std::memset(data + b->capacity, 0, cap - b->capacity);
    b->data = data;
    b->capacity = cap;
  }
  if (n) std::memcpy(b->data + b->position, bytes, n);
  b->position += n;
  b->length = b->position;
  b->data[b->length] = 0;
  return true;
}

// Empty, with room for cap bytes (zero-filled).
static void gurl_buffer_reserve(gurl_buffer *b, uint64_t cap) {
  b->data = static_cast<uint8_t *>(std::calloc(cap, 1));
  b->capacity = b->data ? cap : 0;
}

static void gurl_finish(gurl_job *job, uint32_t status) {
  job->status.store(status, std::memory_order_release);
  if (job->callback) job->callback(job);
}

size_t gurl_curl_write(char *bytes, size_t size, size_t count, void *data) {
  auto *job = static_cast<gurl_job *>(data);
  size_t n = size * count;
  if (job->response.length + n > GURL_RESPONSE_MAX || !gurl_buffer_write(&job->response, bytes, n))
    return 0;
  job->last_chunk = n;
  job->status.store(GURL_RECEIVING, std::memory_order_release);
  if (job->callback) job->callback(job);
  return n;
}

int gurl_get_worker(void *data) {
  std::unique_ptr<std::shared_ptr<gurl_job>> hold(static_cast<std::shared_ptr<gurl_job> *>(data));
  gurl_job *job = hold->get();
  CURL *curl = curl_easy_init();
  if (!curl) {
    gurl_finish(job, GURL_FAILED);
    return 0;
  }
  job->curl = curl;
  curl_easy_setopt(curl, CURLOPT_URL, reinterpret_cast<const char *>(job->url.data));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, gurl_curl_write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, job);
  // Remote files only: other schemes (file: among them) would read the
  // host's own files past the workstation's file system.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  CURLcode rc = curl_easy_perform(curl);
  gurl_finish(job, rc == CURLE_OK ? GURL_DONE : GURL_FAILED);
  curl_easy_cleanup(curl);
  job->curl = nullptr;
  return 0;
}

uint32_t gurl_get(const char *url, const char *extra, gurl_callback callback) {
  if (!url) return GURL_NO_JOB;
  // Before the first worker starts: libcurl's global set-up is not thread-safe.
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)curl_ready;
  uint32_t id = next_gurl_job_id++;
  gurl_slot &slot = gurl_slots[id % GURL_SLOTS];
  auto job = std::make_shared<gurl_job>();
  job->id = id;
  gurl_buffer_reserve(&job->response, 1024);
  gurl_buffer_write(&job->url, url, std::strlen(url));
  if (extra) gurl_buffer_write(&job->extra, extra, std::strlen(extra));
  job->callback = callback;
  slot.job = job;  // an earlier job's worker runs on with its own record
  // The worker holds its record itself, so nothing ever waits for it: it is
  // detached at once and its thread's resources go when it ends.
  auto *hold = new std::shared_ptr<gurl_job>(job);
  os_thread *thread = os_create_thread(gurl_get_worker, hold);
  if (!thread) {
    delete hold;
    gurl_finish(job.get(), GURL_FAILED);
  }
  os_destroy_thread(thread);
  return id;
}

gurl_job *gurl_get_job(uint32_t id) {
  gurl_job *job = gurl_slots[id % GURL_SLOTS].job.get();
  return job && job->id == id ? job : nullptr;
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
