// Pool trees, reference counts, the size-class cache and lock 1. Run under
// AddressSanitizer, a block touched after its pool is gone fails the test.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ky_list.h"
#include "ky_lock.h"
#include "ky_mem.h"
#include "mem_internal.h"

namespace {

std::vector<std::string> g_destroyed;

void record_destroy(void* p) { g_destroyed.emplace_back(static_cast<const char*>(p)); }

void* named_block(mem_handle* pool, const char* name) {
  auto* p = static_cast<char*>(ky_mem_alloc_ex(pool, static_cast<int32_t>(std::strlen(name) + 1), record_destroy));
  std::strcpy(p, name);
  return p;
}

std::vector<mem_block*> blocks_of(mem_handle* pool) {
  std::vector<mem_block*> out;
  mem_block* prev = nullptr;
  for (mem_block* b = pool->first_block; b; b = b->next) {
    EXPECT_EQ(b->prev, prev);
    EXPECT_EQ(b->owner, pool);
    out.push_back(b);
    prev = b;
  }
  return out;
}

TEST(MemPool, ReleaseFreesTreeDeepestFirstAndUnlinksFromParent) {
  g_destroyed.clear();
  mem_handle* root = ky_mem_alloc_handle(nullptr);
  mem_handle* a = ky_mem_alloc_handle(root);
  mem_handle* b = ky_mem_alloc_handle(root);
  mem_handle* a1 = ky_mem_alloc_handle(a);
  mem_handle* a2 = ky_mem_alloc_handle(a);
  mem_handle* a11 = ky_mem_alloc_handle(a1);
  named_block(a, "a");
  named_block(a1, "a1");
  named_block(a2, "a2");
  named_block(a11, "a11");
  named_block(b, "b");
  ASSERT_EQ(root->first_child, b);  // newest first
  ASSERT_EQ(b->next_sibling, a);

  ky_mem_release_handle(a);
  EXPECT_EQ(g_destroyed, (std::vector<std::string>{"a2", "a11", "a1", "a"}));
  EXPECT_EQ(root->first_child, b);
  EXPECT_EQ(b->next_sibling, nullptr);

  ky_mem_release_handle(root);
  EXPECT_EQ(g_destroyed.back(), "b");
}

TEST(MemPool, BlockListStaysLinkedAsBlocksGo) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  void* p1 = ky_mem_alloc(pool, 8);
  void* p2 = ky_mem_alloc(pool, 0);
  void* p3 = ky_mem_alloc(pool, 0);
  ASSERT_TRUE(p1 && p2 && p3);
  EXPECT_NE(p2, p3);  // size 0 still gives distinct blocks
  EXPECT_EQ(blocks_of(pool).size(), 3u);

  struct Case {
    void* ptr;
    size_t left;
  } cases[] = {{p2, 2}, {p3, 1}, {p1, 0}};  // middle, head, last
  for (const auto& c : cases) {
    ky_mem_free(pool, c.ptr);
    EXPECT_EQ(blocks_of(pool).size(), c.left);
  }
  ky_mem_free(pool, nullptr);
  ky_mem_release_handle(pool);
}

TEST(MemPool, ClonedBlockOutlivesItsPool) {
  g_destroyed.clear();
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  auto* p = static_cast<char*>(named_block(pool, "kept"));
  EXPECT_EQ(ky_mem_clone(pool, p), p);
  mem_block* header = ky::mem_block_of(p);

  ky_mem_release_handle(pool);
  EXPECT_TRUE(g_destroyed.empty());
  EXPECT_EQ(header->ref_count, 1);
  EXPECT_EQ(header->owner, nullptr);
  EXPECT_STREQ(p, "kept");

  ky_mem_free(nullptr, p);  // the released pool is not touched again
  EXPECT_EQ(g_destroyed, (std::vector<std::string>{"kept"}));
}

TEST(MemPool, DestructorRunsOnceAfterLastReference) {
  g_destroyed.clear();
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  void* p = named_block(pool, "x");
  ky_mem_clone(pool, p);
  ky_mem_clone(pool, p);
  ky_mem_free(pool, p);
  ky_mem_free(pool, p);
  EXPECT_TRUE(g_destroyed.empty());
  ky_mem_free(pool, p);
  EXPECT_EQ(g_destroyed.size(), 1u);
  ky_mem_release_handle(pool);
  EXPECT_EQ(g_destroyed.size(), 1u);
}

// A destructor that frees another block of the pool being released re-enters
// lock 1 and changes the list under the release walk.
void* g_sibling;
void free_sibling(void*) {
  if (g_sibling) ky_mem_free(nullptr, g_sibling);
  g_sibling = nullptr;
}

TEST(MemPool, DestructorMayFreeSiblingDuringRelease) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  g_sibling = ky_mem_alloc(pool, 16);
  ky_mem_alloc_ex(pool, 16, free_sibling);  // newest: released first
  ky_mem_release_handle(pool);
  EXPECT_EQ(g_sibling, nullptr);
}

TEST(MemPool, RejectsBadSizesAndPools) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  EXPECT_EQ(ky_mem_alloc(pool, -1), nullptr);
  EXPECT_EQ(ky_mem_alloc(nullptr, 4), nullptr);
  EXPECT_EQ(ky::mem_alloc_class(pool, -5, 10), nullptr);
  EXPECT_EQ(ky_mem_clone(pool, nullptr), nullptr);
  ky_mem_release_handle(nullptr);
  ky_mem_release_handle(pool);
}

TEST(MemPool, SizeClassCacheKeepsTenBlocks) {
  constexpr int32_t kClass = 777;
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  std::vector<void*> first;
  for (int i = 0; i < 11; ++i) first.push_back(ky::mem_alloc_class(pool, 40, kClass));
  for (void* p : first) ky_mem_free(pool, p);
  EXPECT_EQ(ky::mem_cached_blocks(kClass), 10);

  // Cached blocks come back before new ones are made.
  std::vector<void*> again;
  for (int i = 0; i < 10; ++i) again.push_back(ky::mem_alloc_class(pool, 40, kClass));
  EXPECT_EQ(ky::mem_cached_blocks(kClass), 0);
  for (void* p : again) EXPECT_NE(std::find(first.begin(), first.end(), p), first.end());
  ky_mem_release_handle(pool);
  EXPECT_EQ(ky::mem_cached_blocks(kClass), 10);
}

TEST(MemPool, ClassMisuseFallsBackToOrdinaryBlocks) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  struct Case {
    const char* name;
    int32_t size;
    int32_t cls;
    int32_t expect_class;
  } cases[] = {
      {"first use fixes the size", 24, 778, 778},
      {"same class, bigger size", 4096, 778, -1},
      {"class above 999", 24, 1000, -1},
      {"negative class", 24, -3, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto* p = static_cast<char*>(ky::mem_alloc_class(pool, c.size, c.cls));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, static_cast<size_t>(c.size));  // whole size is usable
    EXPECT_EQ(ky::mem_block_of(p)->size_class, c.expect_class);
    ky_mem_free(pool, p);
  }
  EXPECT_EQ(ky::mem_cached_blocks(1000), 0);
  ky_mem_release_handle(pool);
}

TEST(MemPool, NewNodeIsZeroedEvenFromTheCache) {
  constexpr int32_t kKind = 779;
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  auto* n = static_cast<unsigned char*>(newNode(64, kKind, pool));
  std::memset(n + 4, 0xFF, 60);
  ky_mem_free(pool, n);
  auto* m = static_cast<unsigned char*>(newNode(64, kKind, pool));
  EXPECT_EQ(m, n);
  int32_t kind;
  std::memcpy(&kind, m, 4);
  EXPECT_EQ(kind, kKind);
  for (int i = 4; i < 64; ++i) ASSERT_EQ(m[i], 0) << i;
  ky_mem_release_handle(pool);
}

TEST(MemPool, LockOneIsRecursiveAndReleased) {
  mutex_entry(KY_LOCK_MEMORY);
  mutex_entry(KY_LOCK_MEMORY);
  // A pool operation on the holding thread re-enters the lock.
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  ky_mem_release_handle(pool);
  mutex_exit(KY_LOCK_MEMORY);
  mutex_exit(KY_LOCK_MEMORY);
  std::thread other([] {
    mutex_entry(KY_LOCK_MEMORY);
    mutex_exit(KY_LOCK_MEMORY);
  });
  other.join();
  EXPECT_EQ(mutex_entry(99), 0);  // indices outside 0-5 do nothing
  EXPECT_EQ(mutex_exit(-1), nullptr);
}

TEST(MemPool, ConcurrentClassBlocksAndSharedClones) {
  constexpr int32_t kClass = 780;
  mem_handle* shared = ky_mem_alloc_handle(nullptr);
  void* common = ky_mem_alloc(shared, 32);
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      mem_handle* own = ky_mem_alloc_handle(t % 2 ? shared : nullptr);
      for (int i = 0; i < 5000; ++i) {
        void* a = ky::mem_alloc_class(own, 48, kClass);
        void* b = ky::mem_alloc_class(own, 48, kClass);
        if (!a || !b || a == b) failed = true;
        std::memset(a, t, 48);
        ky_mem_clone(shared, common);
        ky_mem_free(own, a);
        ky_mem_free(shared, common);
        ky_mem_free(own, b);
      }
      ky_mem_release_handle(own);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(ky::mem_block_of(common)->ref_count, 1);
  EXPECT_LE(ky::mem_cached_blocks(kClass), KY_MEM_CLASS_CACHE);
  ky_mem_release_handle(shared);
}

}  // namespace
