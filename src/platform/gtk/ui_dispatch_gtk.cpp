// The UI thread on GTK is the process's main thread: GTK is initialised and
// its loop runs there. Posts go to the default main context, which that loop
// dispatches. g_main_context_invoke is not used on purpose: from a thread
// that can acquire the default context (while the loop is not running) it
// would run the procedure on that foreign thread.
#include <glib.h>
#include <sys/types.h>
#include <unistd.h>

#include <utility>

#include "platform/ui_dispatch.h"

namespace tessel::platform {
namespace {

using Procedure = std::function<void()>;

gboolean RunPosted(gpointer data) {
  try {
    (*static_cast<Procedure*>(data))();
  } catch (...) {
    // Nothing may unwind into GLib.
  }
  return G_SOURCE_REMOVE;
}

void FreePosted(gpointer data) { delete static_cast<Procedure*>(data); }

class GtkUiDispatcher : public UiDispatcher {
 public:
  bool IsUiThread() const override { return gettid() == getpid(); }

  bool Post(std::function<void()> procedure) override {
    if (!procedure) return false;
    auto* owned = new Procedure(std::move(procedure));
    // The destroy notify frees the closure whether it ran or the source was
    // dropped with its context.
    return g_idle_add_full(G_PRIORITY_DEFAULT, RunPosted, owned, FreePosted) != 0;
  }
};

}  // namespace

std::unique_ptr<UiDispatcher> MakeNativeUiDispatcher() {
  return std::make_unique<GtkUiDispatcher>();
}

}  // namespace tessel::platform
