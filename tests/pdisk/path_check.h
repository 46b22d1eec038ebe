// Checks on canonical paths shared by the path tests and the path fuzz
// target, written apart from the code they check.
#pragma once

#include <cstring>
#include <string>

#include "pdisk/path.h"

// Whether a segment after any "name://" prefix is "." or "..".
inline bool has_dot_segment(const std::string &p) {
  size_t start = 0;
  if (const char *prot = get_prot(p.c_str())) start = std::strlen(prot) + 3;
  for (size_t i = start; i <= p.size();) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    if (p.compare(i, j - i, ".") == 0 || p.compare(i, j - i, "..") == 0) return true;
    i = j + 1;
  }
  return false;
}
