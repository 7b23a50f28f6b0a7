// The one hand-over to the UI thread. Engine completions that arrive on other
// threads, and anything else that must run where the toolkit lives, come
// back through RunOnUiThread; nothing calls back into the UI inline from a
// foreign thread.
#pragma once

#include <functional>
#include <memory>

namespace tessel::platform {

class UiDispatcher {
 public:
  virtual ~UiDispatcher() = default;

  // True on the UI thread. Any thread.
  virtual bool IsUiThread() const = 0;

  // Queues `procedure` to run on the UI thread when its loop next processes
  // its queue, even when called on the UI thread itself. Any thread. False
  // when the queue refused it; the procedure has then been destroyed without
  // running (so whatever it owned is freed).
  virtual bool Post(std::function<void()> procedure) = 0;
};

// Runs `procedure` at once when called on the UI thread, otherwise queues it
// through the current dispatcher's Post. Any thread. A procedure that cannot
// be queued is destroyed without running. What the procedure throws when it
// runs from the queue is swallowed (nothing crosses into the toolkit's loop);
// when it runs at once, it reaches the caller.
void RunOnUiThread(std::function<void()> procedure);

// The process-wide dispatcher: the one installed with SetUiDispatcher, or the
// platform's own, made on first use. Not owned by the caller.
UiDispatcher& CurrentUiDispatcher();

// Installs `dispatcher` (tests only); nullptr restores the platform's own.
// The caller keeps ownership and must outlive its use.
void SetUiDispatcher(UiDispatcher* dispatcher);

// The platform's dispatcher (chosen by CMake). GTK: the UI thread is the
// process's main thread and posts go to the default main context (g_idle).
// Windows: the UI thread is the one that makes the dispatcher (the first use
// of CurrentUiDispatcher, which the web view component makes on the UI
// thread before it starts any worker); posts go to a message-only window.
std::unique_ptr<UiDispatcher> MakeNativeUiDispatcher();

// Installs a dispatcher for the lifetime of a scope.
class ScopedUiDispatcher {
 public:
  explicit ScopedUiDispatcher(UiDispatcher& dispatcher) { SetUiDispatcher(&dispatcher); }
  ~ScopedUiDispatcher() { SetUiDispatcher(nullptr); }
  ScopedUiDispatcher(const ScopedUiDispatcher&) = delete;
  ScopedUiDispatcher& operator=(const ScopedUiDispatcher&) = delete;
};

}  // namespace tessel::platform
