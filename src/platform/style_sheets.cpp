#include "platform/style_sheets.h"

#include <cstddef>

namespace tessel::platform {

// Generated from resources/styles at configure time.
extern const StyleSheet kStyleSheetTable[];
extern const std::size_t kStyleSheetCount;

const std::vector<StyleSheet>& StyleSheets() {
  static const std::vector<StyleSheet> sheets(kStyleSheetTable,
                                              kStyleSheetTable + kStyleSheetCount);
  return sheets;
}

std::optional<std::string_view> FindStyleSheet(std::string_view name) {
  for (const StyleSheet& sheet : StyleSheets()) {
    if (sheet.name == name) return sheet.css;
  }
  return std::nullopt;
}

}  // namespace tessel::platform
