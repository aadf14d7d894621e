// Threads and events: a started thread signals, waits with and without a
// time-out, auto-reset, and the numbered locks staying usable.
#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "ky_lock.h"
#include "ky_thread.h"

namespace {

struct Shared {
  ky_event* go = nullptr;
  ky_event* done = nullptr;
  std::atomic<int> steps{0};
};

void* worker(void* arg) {
  auto* s = static_cast<Shared*>(arg);
  // Two rounds: wait for "go", answer with "done".
  for (int i = 0; i < 2; ++i) {
    if (thread_wait_on_semaphore(s->go, -1) != 0) break;
    s->steps++;
    thread_clear_semaphore(s->done);
  }
  thread_cleanup();
  return nullptr;
}

TEST(Threads, StartSignalWaitAndCleanUp) {
  EXPECT_EQ(can_connect_async(), 1);
  EXPECT_EQ(can_statement_async(), 1);
  Shared s;
  pthread_t t{};
  ASSERT_EQ(odbc_thread_create(&t, worker, &s, &s.go, &s.done), 0);
  ASSERT_NE(s.go, nullptr);
  ASSERT_NE(s.done, nullptr);
  // Nothing signalled yet: a short wait times out.
  EXPECT_EQ(thread_wait_on_semaphore(s.done, 30), 1);
  for (int round = 1; round <= 2; ++round) {
    thread_clear_semaphore(s.go);
    ASSERT_EQ(thread_wait_on_semaphore(s.done, 10000), 0) << round;
    EXPECT_EQ(s.steps.load(), round);
  }
  // Auto-reset: the signal was consumed by the wait.
  EXPECT_EQ(thread_wait_on_semaphore(s.done, 0), 1);
  // The worker touches neither event after its last signal.
  thread_close_semaphore(s.go);
  thread_close_semaphore(s.done);
}

TEST(Threads, EventsAndLocks) {
  EXPECT_EQ(thread_wait_on_semaphore(nullptr, 10), 0);
  thread_clear_semaphore(nullptr);
  thread_close_semaphore(nullptr);
  // A signal given before the wait is kept for it.
  ky_event* e = nullptr;
  pthread_t t{};
  ASSERT_EQ(odbc_thread_create(
                &t, [](void*) -> void* { return nullptr; }, nullptr, &e, nullptr),
            0);
  thread_clear_semaphore(e);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(thread_wait_on_semaphore(e, 5000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // A timed wait lasts about as long as asked.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(thread_wait_on_semaphore(e, 50), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(45));
  thread_close_semaphore(e);
  EXPECT_EQ(odbc_thread_create(nullptr, nullptr, nullptr, nullptr, nullptr), 1);

  // Locks are recursive and survive the counting-out of every thread.
  while (thread_cleanup() > 0) {
  }
  EXPECT_EQ(mutex_entry(KY_LOCK_MEMORY), 0);
  EXPECT_EQ(mutex_entry(KY_LOCK_MEMORY), 0);
  mutex_exit(KY_LOCK_MEMORY);
  mutex_exit(KY_LOCK_MEMORY);
  EXPECT_EQ(odbc_thread_init(0), 0);
  EXPECT_EQ(thread_term(0), 0);
}

}  // namespace
