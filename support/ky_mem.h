/* Memory pools: a tree of pools, each owning a list of reference-counted
 * blocks. Releasing a pool releases its children first, then its blocks.
 * Every operation runs under numbered lock 1 (ky_lock.h), which is always
 * active and recursive, so pools may be shared between threads; a single
 * pool is normally used by one connection or request at a time. */
#ifndef KY_MEM_H
#define KY_MEM_H

#include <stdint.h>

#include "ky_api.h"

KY_EXTERN_C_BEGIN

typedef struct mem_block mem_block;
typedef struct mem_handle mem_handle;

/* Called with the caller's pointer when a block's last reference goes. It
 * runs while lock 1 is held: it may free other blocks, but must not wait
 * for another thread that allocates. */
typedef void (*ky_mem_destructor)(void* ptr);

/* One pool. */
struct mem_handle {
  mem_block* first_block;   /* newest first, doubly linked */
  mem_handle* parent;       /* null for a root pool */
  mem_handle* next_sibling; /* next pool in the parent's child list */
  mem_handle* first_child;  /* newest first */
};

/* Header of one block. The caller's pointer lies just after a word that
 * points back to this header. */
struct mem_block {
  void* data;      /* the back-pointer word; caller data follows it */
  int32_t size;    /* size the caller asked for */
  mem_block* next; /* pool list, or the size-class free list */
  mem_block* prev;
  ky_mem_destructor destructor;
  int32_t ref_count;  /* 1 at allocation */
  int32_t size_class; /* -1 ordinary block, else 0..999 */
  mem_handle* owner;  /* null once detached from a released pool */
};

#define KY_MEM_CLASS_COUNT 1000
#define KY_MEM_CLASS_CACHE 10

KY_API void ky_mem_trace_init(void);
KY_API void ky_mem_trace_term(void);

/* New empty pool, linked first into the parent's child list (parent may be
 * null); null when memory is exhausted. */
KY_API mem_handle* ky_mem_alloc_handle(mem_handle* parent);

/* Releases the pool, its child pools and every block it owns. A block that
 * still carries extra references loses one, is detached from the pool and
 * lives on until its last ky_mem_free. Null does nothing. */
KY_API void ky_mem_release_handle(mem_handle* pool);

/* `size` uninitialised bytes owned by the pool (reference count 1); null for
 * a null pool, a negative size or exhausted memory. Size 0 gives a valid,
 * distinct pointer. */
KY_API void* ky_mem_alloc(mem_handle* pool, int32_t size);
KY_API void* ky_mem_alloc_ex(mem_handle* pool, int32_t size, ky_mem_destructor destructor);

/* Drops one reference; the last one unlinks the block from its owning pool,
 * runs the destructor and frees or caches the storage. The pool argument is
 * not consulted (the block knows its owner). Null does nothing. */
KY_API void ky_mem_free(mem_handle* pool, void* ptr);

/* Adds one reference and returns ptr. */
KY_API void* ky_mem_clone(mem_handle* pool, void* ptr);

KY_EXTERN_C_END

#endif
