// UTF-8 <-> UTF-16 for the engine files, which link no OS unit. Header-only
// over shared/utf.h, so it needs no library of its own.
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
