// UTF-8 <-> UTF-16 at the Windows API boundary, for every Windows file (the
// Windows tests' engine double included). Header-only over shared/utf.h, so
// it needs no library of its own; invalid input becomes U+FFFD, as the
// system's own conversions do.
#pragma once

#include <string>
#include <string_view>

#include "shared/utf.h"

namespace tessel::platform {

inline std::wstring WideFromUtf8(std::string_view text) {
  const std::u16string units = shared::utf::Utf8ToUtf16(text);
  return {units.begin(), units.end()};
}

inline std::string Utf8FromWide(std::wstring_view text) {
  return shared::utf::Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

// A null pointer reads as empty.
inline std::string Utf8FromWide(const wchar_t* text) {
  return text == nullptr ? std::string() : Utf8FromWide(std::wstring_view(text));
}

}  // namespace tessel::platform
