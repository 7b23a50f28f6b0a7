#include "platform/ui_dispatch.h"

#include <atomic>
#include <utility>

namespace tessel::platform {
namespace {

std::atomic<UiDispatcher*> g_installed{nullptr};

// Never destroyed: a worker still running while the process exits may post
// to it after static objects are gone.
UiDispatcher& NativeDispatcher() {
  static UiDispatcher* const native = MakeNativeUiDispatcher().release();
  return *native;
}

}  // namespace

UiDispatcher& CurrentUiDispatcher() {
  UiDispatcher* installed = g_installed.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : NativeDispatcher();
}

void SetUiDispatcher(UiDispatcher* dispatcher) {
  g_installed.store(dispatcher, std::memory_order_release);
}

void RunOnUiThread(std::function<void()> procedure) {
  if (!procedure) return;
  UiDispatcher& dispatcher = CurrentUiDispatcher();
  if (dispatcher.IsUiThread()) {
    procedure();
    return;
  }
  dispatcher.Post([procedure = std::move(procedure)] {
    try {
      procedure();
    } catch (...) {
      // Nothing may unwind into the toolkit's loop.
    }
  });
}

}  // namespace tessel::platform
