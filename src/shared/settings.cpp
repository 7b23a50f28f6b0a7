#include "shared/settings.h"

#include "platform/os.h"
#include "shared/utf.h"

namespace tessel::shared {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

// Byte-wise is exact on UTF-8: every byte of a multi-byte sequence is >= 0x80.
std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(static_cast<char16_t>(big_endian ? (b0 << 8) | b1 : (b1 << 8) | b0));
  }
  std::string out = utf::Utf16ToUtf8(units);
  if (bytes.size() % 2 != 0) utf::AppendUtf8(out, utf::kReplacement);
  return out;
}

std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) utf::AppendUtf8(out, utf::DecodeUtf8(bytes, pos));
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TSettingsColor TSettingsColor::FromInteger(int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  TSettingsColor color;
  if ((bits >> 24) == 0xFF) {
    color.is_system = true;
    color.system_index = static_cast<uint8_t>(bits & 0xFF);
  } else {
    color.red = static_cast<uint8_t>(bits & 0xFF);
    color.green = static_cast<uint8_t>((bits >> 8) & 0xFF);
    color.blue = static_cast<uint8_t>((bits >> 16) & 0xFF);
  }
  return color;
}

std::string TSettings::DecodeText(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return SanitizeUtf8(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return DecodeUtf16(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return DecodeUtf16(bytes.substr(2), true);
  // Checked again: glibc's iconv lets through UTF-8 forms above U+10FFFF.
  return SanitizeUtf8(platform::CurrentOs().AnsiToUtf8(bytes));
}

void TSettings::LoadFromBytes(std::string_view bytes) { LoadFromText(DecodeText(bytes)); }

void TSettings::LoadFromText(std::string_view text) {
  sections_.clear();
  Section* current = nullptr;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    if (end == std::string_view::npos) {
      text = {};
    } else {
      const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
      text.remove_prefix(end + (crlf ? 2 : 1));
    }

    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = &sections_[utf::FoldCase(Trim(line.substr(1, line.size() - 2)))];
      continue;
    }
    if (current == nullptr) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      (*current)[utf::FoldCase(line)] = std::nullopt;
    } else {
      (*current)[utf::FoldCase(TrimRight(line.substr(0, eq)))] =
          std::string(TrimLeft(line.substr(eq + 1)));
    }
  }
}

const std::optional<std::string>* TSettings::Find(std::string_view section,
                                                  std::string_view ident) const {
  const auto s = sections_.find(utf::FoldCase(section));
  if (s == sections_.end()) return nullptr;
  const auto k = s->second.find(utf::FoldCase(ident));
  return k == s->second.end() ? nullptr : &k->second;
}

std::string TSettings::ReadString(std::string_view section, std::string_view ident,
                                  std::string_view default_value) const {
  const std::optional<std::string>* value = Find(section, ident);
  if (value == nullptr || !value->has_value()) return std::string(default_value);
  return **value;
}

int32_t TSettings::ReadInteger(std::string_view section, std::string_view ident,
                               int32_t default_value) const {
  return ParseInteger(ReadString(section, ident, "")).value_or(default_value);
}

bool TSettings::ReadBool(std::string_view section, std::string_view ident,
                         bool default_value) const {
  return ReadInteger(section, ident, default_value ? 1 : 0) != 0;
}

TSettingsColor TSettings::ReadColor(std::string_view section, std::string_view ident,
                                    int32_t default_value) const {
  return TSettingsColor::FromInteger(ReadInteger(section, ident, default_value));
}

std::optional<int32_t> TSettings::ParseInteger(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == n) return std::nullopt;

  if (hex) {
    if (n - i > 8) return std::nullopt;
    uint32_t bits = 0;
    for (; i < n; ++i) {
      const int d = HexDigit(text[i]);
      if (d < 0) return std::nullopt;
      bits = (bits << 4) | static_cast<uint32_t>(d);
    }
    if (negative) bits = 0u - bits;
    return static_cast<int32_t>(bits);
  }

  int64_t magnitude = 0;
  for (; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 2147483648LL) return std::nullopt;  // stops before it could overflow
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace tessel::shared
