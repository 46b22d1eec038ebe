// Stubs of remote fetch jobs, which are not built yet: a started job fails
// at once (its callback sees status 4) and no job can be looked up.
#include "host/fetch.h"

uint32_t gurl_get(const char *url, const char *, gurl_callback callback) {
  if (!url) return 0xFFFFFFFF;
  static uint32_t next_id = 1;
  gurl_job job{next_id, const_cast<char *>(url), GURL_FAILED, nullptr, 0};
  if (callback) callback(&job);
  return next_id++;
}

gurl_job *gurl_get_job(uint32_t) { return nullptr; }
