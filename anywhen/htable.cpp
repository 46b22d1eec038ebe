// The string-keyed hash table of the file history.
#include "anywhen/htable.h"

#include <cstring>

uint32_t htable_hash(const char *key) {
  uint32_t h = 0xcafef00d;
  for (const char *c = key; *c; c++) {
    // 32-bit signed multiplication, wrapped; then an arithmetic shift.
    int32_t x = (int32_t)((uint32_t)(int32_t)(int8_t)*c * (h ^ 0xf1378c35u));
    h = (uint32_t)((x >> 15) ^ x);
  }
  return h;
}

htable *create_htable(uint32_t slots) {
  if (slots == 0 || (slots & (slots - 1)) != 0) return nullptr;
  htable *t = new htable;
  t->slots = slots;
  t->entries = 0;
  t->key_at.assign(slots, 0);
  t->value_at.assign(slots, 0);
  int32_t pool = (int32_t)(slots > 0x10000000u ? 0x7fffffff : slots * 8);
  t->keys.reset(create_buffer_2(pool, 't'));
  t->values.reset(create_buffer_2(pool, 't'));
  return t;
}

void destroy_htable(htable *t) { delete t; }

// Visits the key's probe slots; returns the key's slot or -1, and sets
// *free_slot to the first empty slot seen (-1 when none).
static int64_t find_slot(const htable *t, const char *key, int64_t *free_slot) {
  uint32_t mask = t->slots - 1, h = htable_hash(key);
  uint32_t slot = h & mask, step = (h & mask & 31) + 1;
  *free_slot = -1;
  for (int i = 0; i < HTABLE_MAX_PROBES; i++, slot = (slot + step) & mask) {
    int32_t at = t->key_at[slot];
    if (at == 0) {
      if (*free_slot < 0) *free_slot = slot;
    } else if (strcmp((const char *)t->keys->data + at, key) == 0) {
      return slot;
    }
  }
  return -1;
}

// Appends u32 length, the bytes and a 0 byte; the offset of the bytes, or 0
// when the pool cannot take them.
static int32_t pool_add(pbuffer *pool, const void *bytes, int32_t length) {
  if (length < 0 || (int64_t)pool->length + 5 + length >= INT32_MAX) return 0;
  pool->cursor = pool->length;
  if (bwrite_uint32((uint32_t)length, pool) == 0) return 0;
  int32_t at = pool->cursor;
  if ((length > 0 && bwrite(bytes, 1, (uint64_t)length, pool) == 0) || bwrite_uint8(0, pool) == 0) {
    pool->length = at - 4;  // nothing of this entry is kept
    return 0;
  }
  return at;
}

const char *htable_get(const htable *t, const char *key, int32_t *length_out) {
  if (length_out) *length_out = 0;
  if (!t || !key) return nullptr;
  int64_t free_slot;
  int64_t slot = find_slot(t, key, &free_slot);
  if (slot < 0) return nullptr;
  int32_t at = t->value_at[slot];
  if (at == 0) {
    if (length_out) *length_out = 4;
    return "true";
  }
  const uint8_t *v = t->values->data + at;
  if (length_out) *length_out = (int32_t)(v[-4] | v[-3] << 8 | v[-2] << 16 | (uint32_t)v[-1] << 24);
  return (const char *)v;
}

int htable_insert_failable(htable *t, const char *key, const void *value, int32_t length) {
  if (!t || !key) return 1;
  int64_t free_slot;
  int64_t slot = find_slot(t, key, &free_slot);
  if (slot < 0 && free_slot < 0) return 1;  // no room: the pools stay as they were
  int32_t value_at = 0;
  if (value && (value_at = pool_add(t->values.get(), value, length)) == 0) return 1;
  if (slot < 0) {
    int32_t key_at = pool_add(t->keys.get(), key, (int32_t)strlen(key));
    if (key_at == 0) return 1;
    slot = free_slot;
    t->key_at[slot] = key_at;
    t->entries++;
  }
  t->value_at[slot] = value_at;
  return 0;
}

void htable_insert(htable *t, const char *key, const void *value, int32_t length) {
  htable_insert_failable(t, key, value, length);
}

void htable_insert_str(htable *t, const char *key, const char *text) {
  htable_insert_failable(t, key, text, text ? (int32_t)strlen(text) : 0);
}

int htable_delete(htable *t, const char *key) {
  if (!t || !key) return 0;
  int64_t free_slot;
  int64_t slot = find_slot(t, key, &free_slot);
  if (slot < 0) return 0;
  t->key_at[slot] = 0;
  t->value_at[slot] = 0;
  t->entries--;
  return 1;
}
