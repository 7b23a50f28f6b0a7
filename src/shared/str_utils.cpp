#include "shared/str_utils.h"

#include "shared/mime_table.h"
#include "shared/utf.h"

namespace tessel::shared {

std::string TStrUtils::StringToJsonString(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() + 2);
  out.push_back('"');
  // Unit by unit as UTF-16 would hold them, decoded as it goes: a command's
  // output of many megabytes is not copied once more.
  const auto add = [&out](char16_t u) {
    switch (u) {
      case u'"':
        out += "\\\"";
        return;
      case u'\\':
        out += "\\\\";
        return;
      case u'/':
        out += "\\/";
        return;
      case u'\b':
        out += "\\b";
        return;
      case u'\t':
        out += "\\t";
        return;
      case u'\n':
        out += "\\n";
        return;
      case u'\f':
        out += "\\f";
        return;
      case u'\r':
        out += "\\r";
        return;
      default:
        break;
    }
    if (u < 0x20 || u > 0x7F) {
      out += "\\u";
      out.push_back(kHex[(u >> 12) & 0xF]);
      out.push_back(kHex[(u >> 8) & 0xF]);
      out.push_back(kHex[(u >> 4) & 0xF]);
      out.push_back(kHex[u & 0xF]);
    } else {
      out.push_back(static_cast<char>(u));
    }
  };
  for (std::size_t pos = 0; pos < value.size();) {
    const char32_t cp = utf::DecodeUtf8(value, pos);
    if (cp < 0x10000) {
      add(static_cast<char16_t>(cp));
    } else {
      add(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      add(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  out.push_back('"');
  return out;
}

std::string TStrUtils::GetFileMIMEType(std::string_view file_name) {
  return CachedMimeTable()->TypeOfFile(file_name);
}

TArrayStrings TStrUtils::ExplodeStrings(std::string_view separator, std::string_view value) {
  TArrayStrings result;
  if (!separator.empty()) {
    for (std::size_t at; (at = value.find(separator)) != std::string_view::npos;) {
      result.emplace_back(value.substr(0, at));
      value.remove_prefix(at + separator.size());
    }
  }
  result.emplace_back(value);
  return result;
}

std::string TStrUtils::ImplodeStrings(std::string_view separator,
                                      const TArrayStrings& array_string) {
  std::string out;
  for (std::size_t i = 0; i < array_string.size(); ++i) {
    if (i > 0) out += separator;
    out += array_string[i];
  }
  return out;
}

}  // namespace tessel::shared
