#include "runtime/visual_styles.h"

#include <algorithm>

#include "platform/ui.h"

namespace tessel::runtime {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldAscii(x) == FoldAscii(y);
         });
}

}  // namespace

const std::vector<std::string_view>& VisualStyleNames() {
  static const std::vector<std::string_view> names = {
      "Amakrits",
      "Amethyst Kamri",
      "Aqua Graphite",
      "Aqua Light Slate",
      "Auric",
      "Carbon",
      "Charcoal Dark Slate",
      "Cobalt XEMedia",
      "Cyan Dusk",
      "Cyan Night",
      "Emerald Light Slate",
      "Glossy",
      "Glow",
      "Golden Graphite",
      "Iceberg Classico",
      "Lavender Classico",
      "Light",
      "Luna",
      "Metropolis UI Black",
      "Metropolis UI Blue",
      "Metropolis UI Dark",
      "Metropolis UI Green",
      "Obsidian",
      "Onyx Blue",
      "Ruby Graphite",
      "Sapphire Kamri",
      "Silver",
      "Sky",
      "Slate Classico",
      "Smokey Quartz Kamri",
      "Tablet Dark",
      "Tablet Light",
      "Turquoise Gray",
      "Windows10",
      "Windows10 Blue",
      "Windows10 Dark",
      "Windows10 Green",
      "Windows10 Purple",
      "Windows10 SlateGray",
  };
  return names;
}

std::optional<std::string_view> FindVisualStyle(std::string_view name) {
  for (const std::string_view style : VisualStyleNames()) {
    if (EqualsIgnoringAsciiCase(style, name)) return style;
  }
  return std::nullopt;
}

void ApplyTheme(const std::string& theme) {
  if (theme == kPlatformStyleName) return;
  platform::Ui& ui = platform::CurrentUi();
  if (const auto style = FindVisualStyle(theme); style && ui.ApplyStyle(std::string(*style)))
    return;
  ui.ErrorBox("Style '" + theme + "' not found", "Error");
}

}  // namespace tessel::runtime
