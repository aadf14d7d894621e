// One watcher thread per process polls the sockets of the links whose target
// call is running; a socket that reports hang-up or error has its statement
// cancelled once. A watch is removed under the same lock the cancel holds, so
// the statement handle stays valid while SQLCancel runs.
#include "link_watch.h"

#include <poll.h>
#include <sqlext.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Watch {
  int fd;
  SQLHSTMT stmt;
  bool cancelled;
};

thread_local int t_link_fd = -1;
thread_local std::list<Watch>::iterator t_watch;

// Never destroyed: the watcher thread waits on them until the process ends,
// and a condition variable destroyed under a waiter blocks the exit.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::list<Watch> watches;
  bool started = false;
};
Shared& shared() {
  static Shared* s = new Shared;
  return *s;
}

constexpr int kPollMillis = 250;

void watch_loop() {
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(shared().mutex);
      shared().changed.wait(lock, [] { return !shared().watches.empty(); });
      fds.clear();
      for (const Watch& w : shared().watches)
        if (!w.cancelled) fds.push_back({w.fd, POLLRDHUP, 0});
    }
    if (fds.empty() || ::poll(fds.data(), fds.size(), kPollMillis) <= 0) {
      if (fds.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
      continue;
    }
    std::lock_guard<std::mutex> lock(shared().mutex);
    for (const pollfd& p : fds) {
      if (!(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) continue;
      for (Watch& w : shared().watches) {
        if (w.fd != p.fd || w.cancelled) continue;
        w.cancelled = true;
        SQLCancel(w.stmt);
      }
    }
  }
}

}  // namespace

void veks_set_link_socket(int fd) { t_link_fd = fd; }

LinkWatch::LinkWatch(SQLHSTMT stmt) {
  if (t_link_fd < 0 || stmt == nullptr) return;
  std::lock_guard<std::mutex> lock(shared().mutex);
  if (!shared().started) {
    try {
      std::thread(watch_loop).detach();
    } catch (...) {
      return;  // no watcher: the call runs unwatched, as before
    }
    shared().started = true;
  }
  t_watch = shared().watches.insert(shared().watches.end(), Watch{t_link_fd, stmt, false});
  watching_ = true;
  shared().changed.notify_one();
}

LinkWatch::~LinkWatch() {
  if (!watching_) return;
  std::lock_guard<std::mutex> lock(shared().mutex);
  shared().watches.erase(t_watch);
}
