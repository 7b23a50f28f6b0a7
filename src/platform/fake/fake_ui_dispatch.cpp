#include "platform/fake/fake_ui_dispatch.h"

#include <utility>

namespace tessel::platform {

bool FakeUiDispatcher::Post(std::function<void()> procedure) {
  if (!procedure || refuse_posts.load()) return false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(procedure));
  }
  ++posted_;
  arrived_.notify_all();
  return true;
}

std::function<void()> FakeUiDispatcher::Take() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return {};
  auto next = std::move(queue_.front());
  queue_.pop_front();
  return next;
}

std::size_t FakeUiDispatcher::Drain() {
  std::size_t ran = 0;
  // A procedure that keeps re-posting itself would never let the queue run
  // dry; stop rather than hang the test.
  for (std::size_t guard = 0; guard < 100000; ++guard) {
    auto next = Take();
    if (!next) break;
    next();
    ++ran;
  }
  return ran;
}

bool FakeUiDispatcher::RunUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    auto next = Take();
    if (next) {
      next();
      continue;
    }
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) return done();
  }
}

std::size_t FakeUiDispatcher::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace tessel::platform
