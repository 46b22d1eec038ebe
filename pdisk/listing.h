// Folder listings: `pflist` behind the Lua `ls`, the natural order of names,
// and the `listing` container the file history builds its listings with.
//
// Natural order: a name ending with "/" (a folder) before one that does not;
// otherwise the names are walked together: letters compare without regard to
// case, runs of digits by their value (of any length), "." and "/" come
// before digits and digits before every other character. Names that compare
// equal that way (such as "a01" and "a1", or "A" and "a") are ordered by
// their bytes, so the order is total and only equal texts compare equal.
#pragma once

#include <cstdint>

#include "base/pbuffer.h"
#include "lang/lua_api.h"

constexpr int LISTING_CAPACITY = 65536;
constexpr int PFLIST_MAX_NAMES = 8192;

struct listing {
  int32_t count;
  pbuffer *entries[LISTING_CAPACITY];  // the first count in use; owned
};

// The natural order of two zero-terminated texts: <0, 0 (equal texts) or >0.
int natural_compare(const char *a, const char *b);
// natural_compare for qsort over arrays of `const char *`.
int compare_str_item(const void *a, const void *b);
// natural_compare for qsort over arrays of `pbuffer *`.
int compare_listing_item(const void *a, const void *b);

listing *create_listing();
void destroy_listing(listing *l);
// Index of the first entry whose text equals key, or -1.
int listing_index_for_key(const listing *l, const char *key);
// Takes ownership of b; false (b not taken) when full.
bool listing_add(listing *l, pbuffer *b);
// Releases the first entry equal to key, keeping the order of the rest;
// false when none matches.
bool listing_del(listing *l, const char *key);
void listing_sort(listing *l);

// Pushes the table of names in the folder at path (folders first, without
// their "/", then the other names, at consecutive indices from 1, each name
// once) and the number of folders; returns 2. Returns 0 with nothing pushed
// when the path is illegal or its host folder cannot be opened. Dirty
// cartridge mounts are written back first.
int pflist(const char *path, lua_State *L);
