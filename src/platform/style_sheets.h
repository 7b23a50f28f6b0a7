// The visual styles' style sheets, built into the program from
// resources/styles: GTK CSS, one per style, each the shared rules followed by
// the style's palette and its own rules.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace tessel::platform {

struct StyleSheet {
  std::string_view name;  // the style's canonical name
  std::string_view css;
};

// Every style sheet carried by the program, ordered by file name.
const std::vector<StyleSheet>& StyleSheets();

// The style sheet of the style called exactly `name`, if the program has one.
std::optional<std::string_view> FindStyleSheet(std::string_view name);

}  // namespace tessel::platform
