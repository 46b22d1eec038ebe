// Remote fetch jobs: each download runs on a worker thread of its own and
// fills its job slot; the main thread polls the slot by the job's id. Still
// stubs (host/fetch_stubs.cpp) where downloads are not built.
#pragma once

#include <cstdint>

enum gurl_status : uint32_t {
  GURL_CREATED = 0,
  GURL_RECEIVING = 2,
  GURL_DONE = 3,
  GURL_FAILED = 4,
};

struct gurl_job {
  uint32_t id;
  char *url;
  uint32_t status;     // gurl_status
  uint8_t *received;   // the response bytes so far
  int64_t received_n;  // their count
};

using gurl_callback = void (*)(gurl_job *job);

// Starts a download of url; calls callback on the worker thread after each
// chunk and once at the end. The job id; 0xFFFFFFFF for a null url.
uint32_t gurl_get(const char *url, const char *extra, gurl_callback callback);
// The job with that id, or null when its slot was taken by a later job.
gurl_job *gurl_get_job(uint32_t id);
