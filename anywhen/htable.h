// htable: the small open-addressing map from zero-terminated texts to byte
// strings that the file history keeps its path -> version table and its
// per-query sets of seen paths in.
//
// The slot count is a power of two fixed at creation. A key is looked for in
// at most 32 slots of its probe sequence; insertion fails when those slots
// hold neither the key nor a free slot. Deleted keys leave holes, so an empty
// slot does not end a search. Keys and values are kept in two pools that only
// grow: a replaced value or a deleted key stays where it was.
#pragma once

#include <cstdint>
#include <vector>

#include "base/pbuffer.h"

constexpr int HTABLE_MAX_PROBES = 32;

struct htable {
  uint32_t slots;                 // a power of two
  int32_t entries;                // keys inserted and not deleted
  std::vector<int32_t> key_at;    // per slot: offset of the key's bytes in keys; 0 for empty
  std::vector<int32_t> value_at;  // per slot: offset of the value's bytes in values; 0 for none
  pbuffer_owner keys;             // per key: u32 length, the bytes, a 0 byte (tag 't')
  pbuffer_owner values;           // per value: u32 length, the bytes, a 0 byte (tag 't')
};

// The hash of a key (bytes taken as signed 8-bit values).
uint32_t htable_hash(const char *key);

// A new empty table, or null unless slots is a power of two (0 refused).
htable *create_htable(uint32_t slots);
void destroy_htable(htable *t);  // null ignored

// The value's bytes (zero-terminated) and, when length_out is given, their
// count. A key stored without a value reads as "true" (4). Null and 0 when
// the key is not found (or t is null). Valid until the next insertion.
const char *htable_get(const htable *t, const char *key, int32_t *length_out = nullptr);

// Stores key -> the length bytes at value (null: no value). 0 on success; 1
// when the key is new and its probe slots are all taken, or a pool cannot
// grow, with the table unchanged.
int htable_insert_failable(htable *t, const char *key, const void *value, int32_t length);
void htable_insert(htable *t, const char *key, const void *value, int32_t length);
void htable_insert_str(htable *t, const char *key, const char *text);

// The workstation's contract fixes its answer: 1 when the key was found and
// removed, else 0.
int htable_delete(htable *t, const char *key);
