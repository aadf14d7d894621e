// String-keyed chained hash table. This file stands alone: the RPC library
// compiles its own hidden copy of it, so it uses only the system heap and no
// other unit of the support library.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ky_hash.h"

namespace {

uint32_t hash_of(const char* key) {
  uint32_t h = 0;
  for (const char* p = key; *p; ++p) {
    // Characters count as signed 8-bit values, whatever char is here.
    h = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p))) + 4u * h;
  }
  return h;
}

hash_item** bucket_of(const char* key, hash_table* table) {
  const uint32_t h = hash_of(key) & 0x7fffffffu;
  return &table->buckets[h % static_cast<uint32_t>(table->bucket_count)];
}

void bump(hash_item* item) { std::atomic_ref<int32_t>(item->use_count).fetch_add(1, std::memory_order_relaxed); }

}  // namespace

extern "C" {

KY_API int32_t ky_hash_key(const char* key) { return key ? static_cast<int32_t>(hash_of(key)) : 0; }

KY_API hash_table* ky_make_hash_table(int32_t bucket_count) {
  if (bucket_count <= 0) bucket_count = KY_HASH_DEFAULT_BUCKETS;
  auto* table = static_cast<hash_table*>(std::calloc(1, sizeof(hash_table)));
  if (!table) return nullptr;
  table->buckets = static_cast<hash_item**>(std::calloc(static_cast<size_t>(bucket_count), sizeof(hash_item*)));
  if (!table->buckets) {
    std::free(table);
    return nullptr;
  }
  table->bucket_count = bucket_count;
  return table;
}

KY_API hash_item* ky_find_hash_item(const char* key, hash_table* table) {
  if (!key || !table) return nullptr;
  for (hash_item* item = *bucket_of(key, table); item; item = item->next) {
    if (std::strcmp(item->key, key) == 0) {
      bump(item);
      return item;
    }
  }
  return nullptr;
}

KY_API hash_item* ky_add_hash_item(const char* key, hash_table* table) {
  if (!key || !table) return nullptr;
  if (hash_item* found = ky_find_hash_item(key, table)) return found;
  auto* item = static_cast<hash_item*>(std::calloc(1, sizeof(hash_item)));
  if (!item) return nullptr;
  item->key = const_cast<char*>(key);
  hash_item** link = bucket_of(key, table);
  while (*link) link = &(*link)->next;
  *link = item;
  table->item_count++;
  return item;
}

KY_API hash_item* ky_remove_hash_item(const char* key, hash_table* table) {
  if (!key || !table) return nullptr;
  for (hash_item** link = bucket_of(key, table); *link; link = &(*link)->next) {
    hash_item* item = *link;
    if (std::strcmp(item->key, key) == 0) {
      *link = item->next;
      item->next = nullptr;
      table->item_count--;
      return item;
    }
  }
  return nullptr;
}

KY_API void ky_flush_hash_table(hash_table* table, void (*release)(void*), int free_contents) {
  if (!table) return;
  for (int32_t i = 0; i < table->bucket_count; ++i) {
    hash_item* item = table->buckets[i];
    table->buckets[i] = nullptr;
    while (item) {
      hash_item* next = item->next;
      if (free_contents) {
        if (item->data) (release ? release : std::free)(item->data);
        std::free(item->key);
      }
      std::free(item);
      item = next;
    }
  }
  table->item_count = 0;
}

KY_API void ky_dispose_hash_table(hash_table* table) {
  if (!table) return;
  std::free(table->buckets);
  std::free(table);
}

}  // extern "C"
