#include "platform/os.h"

#include <atomic>

namespace tessel::platform {
namespace {
std::atomic<Os*> g_override{nullptr};
}  // namespace

Os& CurrentOs() {
  if (Os* os = g_override.load()) return *os;
  static const std::unique_ptr<Os> native = MakeNativeOs();
  return *native;
}

void SetCurrentOs(Os* os) { g_override.store(os); }

}  // namespace tessel::platform
