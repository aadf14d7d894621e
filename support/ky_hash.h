/* A string-keyed chained hash table with a fixed bucket count. Keys are kept
 * by pointer and compared case-sensitively; the caller owns keys and data.
 * Items and tables come from the system heap. A table is not locked: callers
 * that change it while others read must guard it. Finding an item bumps its
 * use count atomically, so concurrent finds are safe. */
#ifndef KY_HASH_H
#define KY_HASH_H

#include <stdint.h>

#include "ky_api.h"

KY_EXTERN_C_BEGIN

typedef struct hash_item hash_item;

struct hash_item {
  hash_item* next;   /* next in the chain */
  char* key;         /* the caller's text, not copied */
  void* data;        /* null when added; set by the caller */
  int32_t use_count; /* 0 when added, +1 on every find */
};

typedef struct hash_table {
  hash_item** buckets;
  int32_t bucket_count;
  int32_t item_count;
} hash_table;

#define KY_HASH_DEFAULT_BUCKETS 53

/* New empty table; a count of 0 or less gives 53 buckets. Null on failure. */
KY_API hash_table* ky_make_hash_table(int32_t bucket_count);

/* The item whose key equals key, its use count incremented; null when absent
 * or when key or table is null. */
KY_API hash_item* ky_find_hash_item(const char* key, hash_table* table);

/* The existing item for key (use count incremented), or a new item at the
 * end of the key's chain. Null for a null key or table, or without memory. */
KY_API hash_item* ky_add_hash_item(const char* key, hash_table* table);

/* Unlinks and returns the first item for key (the caller frees it with
 * free); null when absent. */
KY_API hash_item* ky_remove_hash_item(const char* key, hash_table* table);

/* Frees every item and empties every bucket. With free_contents set, first
 * releases each item's data through release (free when null) and its key
 * with free. */
KY_API void ky_flush_hash_table(hash_table* table, void (*release)(void*), int free_contents);

/* Frees the bucket array and the table (flush first). */
KY_API void ky_dispose_hash_table(hash_table* table);

/* The hash of a key: h = c + 4h over signed 8-bit characters, wrapping. */
KY_API int32_t ky_hash_key(const char* key);

KY_EXTERN_C_END

#endif
