// The host cache of downloaded data under the application-data folder:
// "cache/<folder>/<name>" for _cache_store and _cache_fetch, and
// "cache/carts/..." for PNG cartridges that downloads from the cart server
// bring. Every name that reaches a host path is checked first: path
// characters only, no "..", no leading "/" (and at most one "%d", the
// version, where a versioned name is asked for).
#pragma once

#include <cstdint>
#include <string>

#include "base/pbuffer.h"

// Addresses of the cart server: its files by path, and its lookup endpoint
// followed by a cartridge identifier.
constexpr const char *CART_HOST_PREFIX = "https://carts.kavelund.invalid/";
constexpr const char *CART_LOOKUP_PREFIX =
    "https://carts.kavelund.invalid/bbs/get_cart.php?cat=8&lid=";
// Cached data shorter than this is taken for no data.
constexpr int64_t CACHE_MIN_BYTES = 512;

// True when text may name a file below the cache folder (see above).
bool cache_name_is_safe(const char *text, bool allow_version);

// The host path "cache/<folder>/<name>" (the "%d" of a versioned name left
// as it is), or "" when either part is unsafe or the path is too long.
std::string cache_host_path(const char *folder, const char *name, bool versioned);

// Writes data to "cache/<folder>/<name>", creating the folders; 0, or -1.
int cache_store(const char *folder, const char *name, const void *data, int64_t n);
// The bytes of the cached file (for a versioned name the highest version of
// 32 down to 0 that exists), or null when none is found or the names are
// unsafe.
pbuffer *cache_fetch(const char *folder, const char *name, bool versioned);

// The cache file name for a download from url: "carts/<path>" for the cart
// server's files, "carts/<id>.kvd.png" for the lookup endpoint; "" for any
// other address or an unsafe name.
std::string cart_cache_name(const char *url);
// The host file a download from url is cached in, with the folders "cache"
// and "cache/carts" made; "" when url is no cart server address (or names an
// unsafe file). Main thread: the download's callback is handed the result.
std::string cart_cache_host_path(const char *url);
// Writes n bytes over host_path in one piece; 0, or -1.
int write_host_file(const std::string &host_path, const void *data, int64_t n);
