// Memory pools: a tree of pools, each owning a doubly linked list of
// reference-counted blocks, and a process-wide cache of freed blocks per size
// class. All state (pool lists and the cache) is guarded by numbered lock 1,
// which is recursive: releasing a pool recurses into its children, and
// destructors run under the lock may free further blocks.
//
// A block is one allocation: the header, then a word pointing back to the
// header, then the caller's bytes (aligned for any type).
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "ky_lock.h"
#include "ky_mem.h"
#include "lock_internal.h"
#include "mem_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define KY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KY_ASAN 1
#endif
#endif
#ifdef KY_ASAN
#include <sanitizer/asan_interface.h>
#define KY_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KY_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KY_POISON(p, n) ((void)(p), (void)(n))
#define KY_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr size_t round_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

// Offset of the caller's bytes from the start of the allocation.
constexpr size_t kUserOffset = round_up(sizeof(mem_block) + sizeof(void*), alignof(std::max_align_t));

struct ClassCache {
  mem_block* head = nullptr;  // linked through next
  int32_t count = 0;
  int32_t size = -1;  // the one size this class serves, fixed on first use
};

// Guarded by lock 1. Blocks left here at exit stay reachable, so they are
// not leaks.
ClassCache g_cache[KY_MEM_CLASS_COUNT];

// Blocks still to be made before allocation fails; negative means never.
// Only tests set it, to show how callers handle exhausted memory.
std::atomic<int> g_fail_countdown{-1};

bool injected_failure() {
  int n = g_fail_countdown.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (g_fail_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return n == 0;
  }
  return false;
}

void* user_of(mem_block* b) { return static_cast<char*>(static_cast<void*>(b)) + kUserOffset; }

mem_block* new_block(int32_t size) {
  if (injected_failure()) return nullptr;
  void* raw = std::malloc(kUserOffset + static_cast<size_t>(size));
  if (!raw) return nullptr;
  auto* b = static_cast<mem_block*>(raw);
  auto** back = reinterpret_cast<mem_block**>(static_cast<char*>(raw) + kUserOffset - sizeof(void*));
  *back = b;
  b->data = back;
  b->size = size;
  return b;
}

void setup_and_link(mem_block* b, mem_handle* pool, ky_mem_destructor destructor, int32_t cls) {
  b->destructor = destructor;
  b->ref_count = 1;
  b->size_class = cls;
  b->owner = pool;
  b->prev = nullptr;
  b->next = pool->first_block;
  if (b->next) b->next->prev = b;
  pool->first_block = b;
}

void unlink_block(mem_block* b) {
  if (b->prev) {
    b->prev->next = b->next;
  } else if (b->owner && b->owner->first_block == b) {
    b->owner->first_block = b->next;
  }
  if (b->next) b->next->prev = b->prev;
  b->next = b->prev = nullptr;
  b->owner = nullptr;
}

// Steps for the last reference: unlink, destroy, then cache or free.
void drop_last(mem_block* b) {
  unlink_block(b);
  b->ref_count = 0;
  if (b->destructor) {
    ky_mem_destructor d = b->destructor;
    b->destructor = nullptr;
    d(user_of(b));
  }
  int32_t cls = b->size_class;
  if (cls >= 0 && cls < KY_MEM_CLASS_COUNT && g_cache[cls].count < KY_MEM_CLASS_CACHE && g_cache[cls].size == b->size) {
    b->next = g_cache[cls].head;
    g_cache[cls].head = b;
    g_cache[cls].count++;
    KY_POISON(user_of(b), static_cast<size_t>(b->size));
    return;
  }
  std::free(b);
}

void* alloc_block(mem_handle* pool, int32_t size, ky_mem_destructor destructor) {
  if (!pool || size < 0) return nullptr;
  mem_block* b = new_block(size);
  if (!b) return nullptr;
  ky::NumberedLock lock(KY_LOCK_MEMORY);
  setup_and_link(b, pool, destructor, -1);
  return user_of(b);
}

void unlink_child(mem_handle* pool) {
  mem_handle* parent = pool->parent;
  if (!parent) return;
  for (mem_handle** link = &parent->first_child; *link; link = &(*link)->next_sibling) {
    if (*link == pool) {
      *link = pool->next_sibling;
      break;
    }
  }
  pool->parent = nullptr;
  pool->next_sibling = nullptr;
}

void release_pool(mem_handle* pool) {
  while (pool->first_child) release_pool(pool->first_child);
  unlink_child(pool);
  // Each pass removes the head, so destructors that free other blocks of
  // this pool cannot leave the walk on a freed block.
  while (mem_block* b = pool->first_block) {
    if (b->ref_count > 1) {
      // Still held elsewhere: detach it so that its last ky_mem_free
      // never touches this pool again.
      b->ref_count--;
      unlink_block(b);
    } else {
      drop_last(b);
    }
  }
  std::free(pool);
}

}  // namespace

namespace ky {

mem_block* mem_block_of(void* ptr) {
  if (!ptr) return nullptr;
  auto* back = reinterpret_cast<mem_block**>(static_cast<char*>(ptr) - sizeof(void*));
  mem_block* b = *back;
  if (!b || b->data != back || b->ref_count <= 0) return nullptr;
  return b;
}

void* mem_alloc_class(mem_handle* pool, int32_t size, int32_t cls) {
  if (!pool || size < 0) return nullptr;
  if (cls < 0 || cls >= KY_MEM_CLASS_COUNT) return alloc_block(pool, size, nullptr);
  NumberedLock lock(KY_LOCK_MEMORY);
  ClassCache& c = g_cache[cls];
  if (c.size < 0) c.size = size;
  if (c.size != size) return alloc_block(pool, size, nullptr);
  mem_block* b = c.head;
  if (b) {
    c.head = b->next;
    c.count--;
    KY_UNPOISON(user_of(b), static_cast<size_t>(size));
  } else if (!(b = new_block(size))) {
    return nullptr;
  }
  setup_and_link(b, pool, nullptr, cls);
  return user_of(b);
}

void mem_fail_after(int blocks) { g_fail_countdown.store(blocks, std::memory_order_relaxed); }

int32_t mem_cached_blocks(int32_t cls) {
  if (cls < 0 || cls >= KY_MEM_CLASS_COUNT) return 0;
  NumberedLock lock(KY_LOCK_MEMORY);
  return g_cache[cls].count;
}

}  // namespace ky

extern "C" {

// One shared empty body: tracing of pools is not kept.
static void mem_trace_noop() {}
KY_API void ky_mem_trace_init(void) { mem_trace_noop(); }
KY_API void ky_mem_trace_term(void) { mem_trace_noop(); }

KY_API mem_handle* ky_mem_alloc_handle(mem_handle* parent) {
  auto* pool = static_cast<mem_handle*>(std::calloc(1, sizeof(mem_handle)));
  if (!pool) return nullptr;
  if (parent) {
    ky::NumberedLock lock(KY_LOCK_MEMORY);
    pool->parent = parent;
    pool->next_sibling = parent->first_child;
    parent->first_child = pool;
  }
  return pool;
}

KY_API void ky_mem_release_handle(mem_handle* pool) {
  if (!pool) return;
  ky::NumberedLock lock(KY_LOCK_MEMORY);
  release_pool(pool);
}

KY_API void* ky_mem_alloc(mem_handle* pool, int32_t size) { return alloc_block(pool, size, nullptr); }

KY_API void* ky_mem_alloc_ex(mem_handle* pool, int32_t size, ky_mem_destructor destructor) {
  return alloc_block(pool, size, destructor);
}

KY_API void ky_mem_free(mem_handle*, void* ptr) {
  if (!ptr) return;
  ky::NumberedLock lock(KY_LOCK_MEMORY);
  mem_block* b = ky::mem_block_of(ptr);
  if (!b) return;
  if (b->ref_count > 1) {
    b->ref_count--;
    return;
  }
  drop_last(b);
}

KY_API void* ky_mem_clone(mem_handle*, void* ptr) {
  if (!ptr) return nullptr;
  ky::NumberedLock lock(KY_LOCK_MEMORY);
  mem_block* b = ky::mem_block_of(ptr);
  if (!b) return nullptr;
  b->ref_count++;
  return ptr;
}

}  // extern "C"
