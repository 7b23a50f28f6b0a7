#include "platform/style_sheets.h"

#include <cstddef>
#include <string>
#include <utility>

namespace tessel::platform {

// Generated from resources/styles at configure time.
extern const std::string_view kSharedStyleRules;
extern const StyleSheet kStyleSheetTable[];
extern const std::size_t kStyleSheetCount;

const std::vector<StyleSheet>& StyleSheets() {
  static const std::vector<StyleSheet> sheets(kStyleSheetTable,
                                              kStyleSheetTable + kStyleSheetCount);
  return sheets;
}

std::optional<std::string> FindStyleSheet(std::string_view name) {
  for (const StyleSheet& sheet : StyleSheets()) {
    if (sheet.name != name) continue;
    std::string css;
    css.reserve(kSharedStyleRules.size() + 1 + sheet.own.size());
    return css.append(kSharedStyleRules).append(1, '\n').append(sheet.own);
  }
  return std::nullopt;
}

namespace {

// The last "@define-color tessel_<key> #rrggbb;" of the sheet: a style's own
// definitions come after the shared rules.
std::optional<std::uint32_t> Colour(std::string_view css, std::string_view key) {
  const std::string definition = "@define-color tessel_" + std::string(key) + " #";
  const std::size_t at = css.rfind(definition);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view digits = css.substr(at + definition.size(), 7);
  if (digits.size() != 7 || digits[6] != ';') return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits.substr(0, 6)) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::optional<StylePalette>& Active() {
  static std::optional<StylePalette> active;
  return active;
}

}  // namespace

std::optional<StylePalette> FindStylePalette(std::string_view name) {
  const std::optional<std::string> css = FindStyleSheet(name);
  if (!css) return std::nullopt;
  StylePalette palette;
  const std::pair<std::string_view, std::uint32_t StylePalette::*> keys[] = {
      {"bg", &StylePalette::bg},
      {"fg", &StylePalette::fg},
      {"base", &StylePalette::base},
      {"base_fg", &StylePalette::base_fg},
      {"button_top", &StylePalette::button_top},
      {"button_bottom", &StylePalette::button_bottom},
      {"button_fg", &StylePalette::button_fg},
      {"hover", &StylePalette::hover},
      {"accent", &StylePalette::accent},
      {"accent_fg", &StylePalette::accent_fg},
      {"border", &StylePalette::border},
  };
  for (const auto& [key, member] : keys) {
    const std::optional<std::uint32_t> colour = Colour(*css, key);
    if (!colour) return std::nullopt;
    palette.*member = *colour;
  }
  return palette;
}

void SetActiveStylePalette(std::optional<StylePalette> palette) { Active() = palette; }

const std::optional<StylePalette>& ActiveStylePalette() { return Active(); }

}  // namespace tessel::platform
