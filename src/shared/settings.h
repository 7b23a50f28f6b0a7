// The settings document: the application's INI settings, parsed once from the
// bytes of its settings file and read-only afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tessel::shared {

// A colour as settings store it in an integer: top byte 0xFF names a system
// colour by the index in the low byte (26 is the hot-track colour); otherwise
// it is 0x00BBGGRR. A top byte other than 0xFF is ignored.
struct TSettingsColor {
  bool is_system = false;
  uint8_t system_index = 0;  // when is_system
  uint8_t red = 0;           // otherwise
  uint8_t green = 0;
  uint8_t blue = 0;

  static TSettingsColor FromInteger(int32_t value);
  friend bool operator==(const TSettingsColor&, const TSettingsColor&) = default;
};

// Dialect: lines trimmed of every character <= U+0020 at both ends; empty lines
// and lines starting with ";" skipped; "[name]" starts (or continues) a
// section, name trimmed; lines before the first section ignored; "key=value"
// split at the first "=", key trimmed at its end, value at its start, quotes
// kept; a line without "=" is a key without a value (readers give their
// default); section and key names caseless (Unicode simple case folding); the
// last occurrence of a key wins.
//
// Not thread-safe while loading; the const readers may run on any thread.
class TSettings {
 public:
  // Replaces the whole content with the settings file in `bytes`, decoded by
  // DecodeText. Accepts any bytes.
  void LoadFromBytes(std::string_view bytes);

  // As LoadFromBytes, for text already decoded to UTF-8.
  void LoadFromText(std::string_view text);

  void Clear() { sections_.clear(); }

  // The value, or `default_value` when the section, the key or its value is
  // absent. A key written with "=" and nothing after it has the empty value.
  std::string ReadString(std::string_view section, std::string_view ident,
                         std::string_view default_value) const;

  // The value read by ParseInteger, or `default_value` when it does not parse.
  int32_t ReadInteger(std::string_view section, std::string_view ident,
                      int32_t default_value) const;

  // An integer whose default is 1 or 0; true when it is not 0. The words
  // "true" and "false" are not integers and give the default.
  bool ReadBool(std::string_view section, std::string_view ident, bool default_value) const;

  // An integer holding a colour (see TSettingsColor); `default_value` in the
  // same form, such as static_cast<int32_t>(0xFF00001A).
  TSettingsColor ReadColor(std::string_view section, std::string_view ident,
                           int32_t default_value) const;

  // The text of a settings file as UTF-8: by its byte-order mark (EF BB BF
  // UTF-8, FF FE UTF-16LE, FE FF UTF-16BE; the mark dropped), else through the
  // OS seam's AnsiToUtf8. Malformed UTF-8, a lone surrogate and an odd last
  // byte of UTF-16 become U+FFFD.
  static std::string DecodeText(std::string_view bytes);

  // A 32-bit integer: optional leading blanks, optional "+" or "-", then
  // decimal digits within the 32-bit signed range, or 1 to 8 hexadecimal digits
  // after "$", "0x", "0X", "x" or "X" giving the bit pattern ("-" negates the
  // pattern). Nothing else may follow. nullopt when it does not parse.
  static std::optional<int32_t> ParseInteger(std::string_view text);

 private:
  // Folded key name -> value; nullopt for a key without "=".
  using Section = std::unordered_map<std::string, std::optional<std::string>>;

  const std::optional<std::string>* Find(std::string_view section, std::string_view ident) const;

  std::unordered_map<std::string, Section> sections_;  // by folded name
};

}  // namespace tessel::shared
