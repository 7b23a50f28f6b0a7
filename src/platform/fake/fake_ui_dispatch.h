// A deterministic UI dispatcher for tests: posted procedures wait in a queue
// until the test runs them on its own (UI) thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ui_dispatch.h"

namespace tessel::platform {

class FakeUiDispatcher : public UiDispatcher {
 public:
  // The constructing thread is the UI thread.
  FakeUiDispatcher() : ui_thread_(std::this_thread::get_id()) {}

  bool IsUiThread() const override { return std::this_thread::get_id() == ui_thread_; }
  bool Post(std::function<void()> procedure) override;

  // Runs what is queued, and what that queues, until the queue is empty.
  // UI thread. Returns how many procedures ran.
  std::size_t Drain();

  // Runs queued procedures as they arrive, waiting for posts from other
  // threads, until `done` holds (checked after each procedure and at the
  // start) or `timeout` has passed. UI thread. True when `done` held.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

  std::size_t Pending() const;
  std::size_t Posted() const { return posted_.load(); }

  // Fault injection: while set, Post refuses (and frees) what it is given.
  std::atomic<bool> refuse_posts{false};

 private:
  std::function<void()> Take();

  std::thread::id ui_thread_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::function<void()>> queue_;
  std::atomic<std::size_t> posted_{0};
};

}  // namespace tessel::platform
