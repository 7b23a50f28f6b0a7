#include "platform/ui.h"

#include <atomic>

namespace tessel::platform {
namespace {
std::atomic<Ui*> g_override{nullptr};
}  // namespace

Ui& CurrentUi() {
  if (Ui* ui = g_override.load()) return *ui;
  static const std::unique_ptr<Ui> native = MakeNativeUi();
  return *native;
}

void SetCurrentUi(Ui* ui) { g_override.store(ui); }

}  // namespace tessel::platform
