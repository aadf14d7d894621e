// Hash tables: the hash itself, bucket range for awkward keys, use counts,
// chain order and removal, flushing and concurrent finds.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ky_hash.h"

namespace {

struct TableDeleter {
  void operator()(hash_table* t) const {
    ky_flush_hash_table(t, nullptr, 0);
    ky_dispose_hash_table(t);
  }
};
using Table = std::unique_ptr<hash_table, TableDeleter>;

std::vector<std::string> chain(hash_table* t, int32_t bucket) {
  std::vector<std::string> out;
  for (hash_item* i = t->buckets[bucket]; i; i = i->next) out.emplace_back(i->key);
  return out;
}

TEST(Hash, KeyHashAndDefaultSize) {
  struct Case {
    const char* key;
    int32_t hash;
  } cases[] = {{"a", 97}, {"b", 98}, {"ab", 98 + 4 * 97}, {"", 0}, {"\xff", -1}, {"\x80\x01", 1 + 4 * -128}};
  for (const auto& c : cases) EXPECT_EQ(ky_hash_key(c.key), c.hash) << c.key;

  for (int32_t asked : {0, -7}) {
    Table t(ky_make_hash_table(asked));
    EXPECT_EQ(t->bucket_count, KY_HASH_DEFAULT_BUCKETS);
  }
  Table t(ky_make_hash_table(256));
  EXPECT_EQ(t->bucket_count, 256);
}

TEST(Hash, AwkwardKeysLandInsideTheTable) {
  // High bytes make the hash negative; long keys wrap it many times.
  std::vector<std::string> keys;
  for (int i = 0; i < 64; ++i) {
    keys.push_back(std::string(static_cast<size_t>(i + 1), static_cast<char>(0x80 + i)));
    keys.push_back(std::string(1000 + static_cast<size_t>(i), static_cast<char>('A' + i % 26)));
  }
  Table t(ky_make_hash_table(7));
  for (const auto& k : keys) ASSERT_NE(ky_add_hash_item(k.c_str(), t.get()), nullptr);
  EXPECT_EQ(t->item_count, static_cast<int32_t>(keys.size()));
  for (const auto& k : keys) {
    hash_item* item = ky_find_hash_item(k.c_str(), t.get());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->key, k);
  }
}

TEST(Hash, SpreadsTypicalKeys) {
  Table t(ky_make_hash_table(53));
  std::vector<std::string> keys;
  for (int i = 0; i < 1060; ++i) keys.push_back("DSN_" + std::to_string(i));
  for (const auto& k : keys) ky_add_hash_item(k.c_str(), t.get());
  size_t longest = 0;
  for (int32_t b = 0; b < t->bucket_count; ++b) longest = std::max(longest, chain(t.get(), b).size());
  EXPECT_LE(longest, 3u * 1060 / 53);  // no bucket far above the mean of 20
}

TEST(Hash, AddTwiceGivesSameItemAndCountsUse) {
  Table t(ky_make_hash_table(0));
  hash_item* first = ky_add_hash_item("dsn", t.get());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->use_count, 0);
  EXPECT_EQ(first->data, nullptr);
  EXPECT_EQ(ky_add_hash_item("dsn", t.get()), first);
  EXPECT_EQ(first->use_count, 1);
  EXPECT_EQ(ky_find_hash_item("dsn", t.get()), first);
  EXPECT_EQ(first->use_count, 2);
  EXPECT_EQ(ky_find_hash_item("DSN", t.get()), nullptr);  // case matters
  EXPECT_EQ(t->item_count, 1);
}

TEST(Hash, ChainKeepsOrderAndRemovesFromTheMiddle) {
  Table t(ky_make_hash_table(1));
  for (const char* k : {"k1", "k2", "k3", "k4"}) ky_add_hash_item(k, t.get());
  EXPECT_EQ(chain(t.get(), 0), (std::vector<std::string>{"k1", "k2", "k3", "k4"}));

  struct Case {
    const char* key;
    bool found;
    std::vector<std::string> left;
  } cases[] = {
      {"k2", true, {"k1", "k3", "k4"}},
      {"k2", false, {"k1", "k3", "k4"}},
      {"k1", true, {"k3", "k4"}},
      {"k4", true, {"k3"}},
      {"k3", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    hash_item* item = ky_remove_hash_item(c.key, t.get());
    EXPECT_EQ(item != nullptr, c.found);
    std::free(item);
    EXPECT_EQ(chain(t.get(), 0), c.left);
    EXPECT_EQ(t->item_count, static_cast<int32_t>(c.left.size()));
  }
}

TEST(Hash, NullTableOrKeyIsRefused) {
  Table t(ky_make_hash_table(0));
  EXPECT_EQ(ky_find_hash_item("a", nullptr), nullptr);
  EXPECT_EQ(ky_add_hash_item("a", nullptr), nullptr);
  EXPECT_EQ(ky_remove_hash_item("a", nullptr), nullptr);
  EXPECT_EQ(ky_add_hash_item(nullptr, t.get()), nullptr);
  EXPECT_EQ(ky_find_hash_item(nullptr, t.get()), nullptr);
  ky_flush_hash_table(nullptr, nullptr, 1);
  ky_dispose_hash_table(nullptr);
}

int g_released;
void counting_release(void* p) {
  ++g_released;
  std::free(p);
}

TEST(Hash, FlushReleasesDataAndKeysWhenAsked) {
  Table t(ky_make_hash_table(5));
  for (int i = 0; i < 20; ++i) {
    hash_item* item = ky_add_hash_item(strdup(("key" + std::to_string(i)).c_str()), t.get());
    if (i % 2) item->data = std::malloc(16);
  }
  g_released = 0;
  ky_flush_hash_table(t.get(), counting_release, 1);
  EXPECT_EQ(g_released, 10);
  EXPECT_EQ(t->item_count, 0);
  for (int32_t b = 0; b < 5; ++b) EXPECT_EQ(t->buckets[b], nullptr);

  // Without a release function the system allocator frees the data.
  hash_item* item = ky_add_hash_item(strdup("x"), t.get());
  item->data = std::malloc(8);
  ky_flush_hash_table(t.get(), nullptr, 1);
  EXPECT_EQ(ky_find_hash_item("x", t.get()), nullptr);
}

TEST(Hash, ConcurrentFindsCountEveryUse) {
  Table t(ky_make_hash_table(0));
  hash_item* item = ky_add_hash_item("shared", t.get());
  constexpr int kThreads = 4, kFinds = 20000;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < kFinds; ++n) ky_find_hash_item("shared", t.get());
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(item->use_count, kThreads * kFinds);
}

}  // namespace
