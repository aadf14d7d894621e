// Threads, auto-reset events and the time-out check. Events wait on
// std::condition_variable with steady_clock, which is the monotonic clock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <new>

#include <sql.h>

#include "ky_diag.h"
#include "ky_thread.h"
#include "sqlstate.h"
#include "thread_internal.h"

struct ky_event {
  std::mutex m;
  std::condition_variable cv;
  bool signalled = false;
};

namespace {

std::atomic<int> g_threads{0};
std::atomic<int64_t (*)()> g_clock{nullptr};

void close_event(ky_event** e) {
  if (e && *e) {
    delete *e;
    *e = nullptr;
  }
}

void timed_out(ky_stmt* stmt, const char* state, const char* message, const char* subclass) {
  if (!stmt->head.errors) return;
  SetReturnCode(stmt->head.errors, SQL_ERROR);
  PostError(stmt->head.errors, KY_ORIGIN_ISO, 0, nullptr, 0, 0, subclass, state, "%s", message);
}

}  // namespace

namespace ky {

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void set_timeout_clock(int64_t (*clock)()) { g_clock.store(clock); }

}  // namespace ky

extern "C" {

KY_API int can_connect_async(void) { return 1; }
KY_API int can_statement_async(void) { return 1; }

KY_API int odbc_thread_create(pthread_t* thread_out, ky_thread_start start, void* argument, ky_event** event1,
                              ky_event** event2) {
  if (!thread_out || !start) return 1;
  if (event1) *event1 = nullptr;
  if (event2) *event2 = nullptr;
  for (ky_event** e : {event1, event2}) {
    if (!e) continue;
    *e = new (std::nothrow) ky_event;
    if (!*e) {
      close_event(event1);
      close_event(event2);
      return 1;
    }
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const int rc = pthread_create(thread_out, &attr, start, argument);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    close_event(event1);
    close_event(event2);
    return 1;
  }
  g_threads.fetch_add(1);
  return 0;
}

KY_API int thread_cleanup(void) {
  int n = g_threads.load();
  while (n > 0 && !g_threads.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0 ? n - 1 : 0;
}

KY_API int thread_wait_on_semaphore(ky_event* event, int32_t milliseconds) {
  if (!event) return 0;
  std::unique_lock<std::mutex> lock(event->m);
  if (milliseconds < 0) {
    event->cv.wait(lock, [event] { return event->signalled; });
  } else if (!event->cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [event] { return event->signalled; })) {
    return 1;
  }
  event->signalled = false;  // auto-reset
  return 0;
}

KY_API void thread_clear_semaphore(ky_event* event) {
  if (!event) return;
  // Notified under the lock: once the waiter can return (and perhaps
  // close the event), this call no longer touches it.
  std::lock_guard<std::mutex> lock(event->m);
  event->signalled = true;
  event->cv.notify_one();
}

KY_API void thread_close_semaphore(ky_event* event) { delete event; }

KY_API int check_timeout(ky_stmt* stmt) {
  if (!stmt) return 0;
  const bool running = stmt->state == KY_STMT_EXECUTING || stmt->state == KY_STMT_FETCHING;
  if (running && stmt->deadline_ms != 0) {
    int64_t (*clock)() = g_clock.load();
    const int64_t now = clock ? clock() : ky::monotonic_ms();
    if (stmt->deadline_ms < now) {
      timed_out(stmt, sqlstate::kHYT00.state, "Timeout Expired", "ODBC 3.0");
      return -1;
    }
  }
  if (__atomic_exchange_n(&stmt->cancel, 0, __ATOMIC_ACQ_REL) != 0) {
    timed_out(stmt, sqlstate::kHY008.state, sqlstate::kHY008.text, "ISO 9075");
    return -1;
  }
  return 0;
}

}  // extern "C"
