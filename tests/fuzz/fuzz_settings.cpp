// Any bytes as a settings file: decoding, parsing and every reader must
// neither crash nor disagree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shared/settings.h"

using tessel::shared::TSettings;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t len = b < 0x80   ? 1
                            : b < 0xC2 ? 0
                            : b < 0xE0 ? 2
                            : b < 0xF0 ? 3
                            : b < 0xF5 ? 4
                                       : 0;
    if (len == 0 || s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  TSettings settings;
  settings.LoadFromBytes(bytes);

  static const char* const kSections[] = {"App", "app", "", "[App]"};
  static const char* const kKeys[] = {"ID", "Name", "Width", "AllowDebug", "InstallFormColor", ""};
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      const std::string text = settings.ReadString(section, key, "\x01");
      const int32_t value = settings.ReadInteger(section, key, 12345);
      const bool flag = settings.ReadBool(section, key, true);
      (void)settings.ReadColor(section, key, static_cast<int32_t>(0xFF00001A));
      if (text != "\x01") {
        Check(IsUtf8(text));
        // Stored values are trimmed at their start.
        Check(text.empty() || static_cast<unsigned char>(text.front()) > 0x20);
      }
      const auto parsed = TSettings::ParseInteger(text == "\x01" ? "" : text);
      Check(value == parsed.value_or(12345));
      Check(flag == (parsed.value_or(1) != 0));
    }
  }

  // The integer parser on its own: what parses as decimal reads back the same.
  const auto parsed = TSettings::ParseInteger(bytes);
  if (parsed && bytes.find_first_of("$xX") == std::string_view::npos) {
    Check(TSettings::ParseInteger(std::to_string(*parsed)) == parsed);
  }
  return 0;
}
