// printf-style lines into the debug log.
#include "base/klog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/debug_log.h"

void klog(const char *fmt, ...) {
  char small[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n < sizeof small) return debug_log(small);
  std::string big((size_t)n + 1, '\0');
  va_start(ap, fmt);
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  debug_log(big.c_str());
}
