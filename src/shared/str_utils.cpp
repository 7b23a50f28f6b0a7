#include "shared/str_utils.h"

#include "shared/mime_table.h"
#include "shared/utf.h"

namespace tessel::shared {

std::string TStrUtils::StringToJsonString(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::u16string units = utf::Utf8ToUtf16(value);
  std::string out;
  out.reserve(units.size() + 2);
  out.push_back('"');
  for (const char16_t u : units) {
    switch (u) {
      case u'"':
        out += "\\\"";
        continue;
      case u'\\':
        out += "\\\\";
        continue;
      case u'/':
        out += "\\/";
        continue;
      case u'\b':
        out += "\\b";
        continue;
      case u'\t':
        out += "\\t";
        continue;
      case u'\n':
        out += "\\n";
        continue;
      case u'\f':
        out += "\\f";
        continue;
      case u'\r':
        out += "\\r";
        continue;
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
