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

std::size_t Utf8IncompleteTail(std::string_view bytes) {
  // Walk back over at most three continuation bytes to the lead byte.
  const std::size_t n = bytes.size();
  for (std::size_t k = 1; k <= 4 && k <= n; ++k) {
    const auto b = static_cast<unsigned char>(bytes[n - k]);
    if ((b & 0xC0) == 0x80) continue;
    std::size_t need = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 4;
    }
    return k < need ? k : 0;
  }
  return 0;
}

}  // namespace tessel::platform
