// printf-style lines into the debug log.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void klog(const char *fmt, ...);
