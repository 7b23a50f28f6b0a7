#include "platform/fake/fake_os.h"

namespace tessel::platform {

std::string FakeOs::AnsiToUtf8(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

std::unique_ptr<FakeOs> MakeFakeOs() { return std::make_unique<FakeOs>(); }

}  // namespace tessel::platform
