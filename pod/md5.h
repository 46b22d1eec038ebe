// MD5 message digest (RFC 1321): the md5 and _md5 services.
#pragma once

#include <cstdint>

// Writes the digest of `length` bytes as 32 lower-case hex digits and a
// terminator into text_out (33 bytes). A negative length counts as 0.
void md5(const void *bytes, int64_t length, char *text_out);
