// A connection test that runs on a thread of its own, so that the dialog that
// started it keeps answering while a server is slow or silent, and can stop
// it. The test never touches a widget: it hands its output to the dialog's
// thread with post(), and it asks stop_requested() between its steps. Each
// step that waits for a server is bounded by the RPC wait limit
// (kServerWaitMillis), so a stop takes effect within that bound.
#ifndef KYVEK_SETUP_BACKGROUND_TEST_H
#define KYVEK_SETUP_BACKGROUND_TEST_H

#include <atomic>
#include <functional>
#include <thread>

class QObject;

namespace kyvek::setup {

// The longest the dialogs wait for a server in one step (the connect, the
// handshake, each reply), in milliseconds.
inline constexpr long kServerWaitMillis = 20000;

class BackgroundTest {
 public:
  // owner: the dialog; posted calls run on its thread while it lives.
  explicit BackgroundTest(QObject* owner) : owner_(owner) {}
  // Asks a running test to stop and waits for it.
  ~BackgroundTest();
  BackgroundTest(const BackgroundTest&) = delete;
  BackgroundTest& operator=(const BackgroundTest&) = delete;

  // Starts work on a new thread; done then runs on the owner's thread. False
  // when a test is already running.
  bool start(std::function<void()> work, std::function<void()> done);
  bool running() const { return running_; }
  void request_stop() { stop_ = true; }
  // Called by the work between its steps.
  bool stop_requested() const { return stop_; }
  // Called by the work: runs fn on the owner's thread, in posting order.
  void post(std::function<void()> fn) const;

 private:
  void join();

  QObject* owner_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool running_ = false;  // owner's thread only
};

}  // namespace kyvek::setup

#endif
