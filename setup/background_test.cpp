// A connection test on a thread of its own. See background_test.h.
#include "background_test.h"

#include <QMetaObject>
#include <QObject>

#include <utility>

namespace kyvek::setup {

BackgroundTest::~BackgroundTest() {
  stop_ = true;
  join();
}

void BackgroundTest::join() {
  if (thread_.joinable()) thread_.join();
}

bool BackgroundTest::start(std::function<void()> work, std::function<void()> done) {
  if (running_) return false;
  join();  // the last run has posted its end; its thread is finishing
  stop_ = false;
  running_ = true;
  thread_ = std::thread([this, work = std::move(work), done = std::move(done)]() mutable {
    work();
    post([this, done = std::move(done)] {
      running_ = false;
      join();
      done();
    });
  });
  return true;
}

void BackgroundTest::post(std::function<void()> fn) const {
  QMetaObject::invokeMethod(owner_, std::move(fn), Qt::QueuedConnection);
}

}  // namespace kyvek::setup
