// The visual styles' style sheets, built into the program from
// resources/styles: GTK CSS, one per style, each the shared rules followed by
// the style's palette and its own rules. The shared rules are carried once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

struct StyleSheet {
  std::string_view name;  // the style's canonical name
  std::string_view own;   // its palette and its own rules
};

// Every style sheet carried by the program, ordered by file name.
const std::vector<StyleSheet>& StyleSheets();

// The whole style sheet of the style called exactly `name`, if the program
// has one.
std::optional<std::string> FindStyleSheet(std::string_view name);

// A style's palette, as 0xRRGGBB: the colours its sheet defines for the
// shared rules, for toolkits that draw from colours rather than from CSS.
struct StylePalette {
  std::uint32_t bg = 0;
  std::uint32_t fg = 0;
  std::uint32_t base = 0;
  std::uint32_t base_fg = 0;
  std::uint32_t button_top = 0;
  std::uint32_t button_bottom = 0;
  std::uint32_t button_fg = 0;
  std::uint32_t hover = 0;
  std::uint32_t accent = 0;
  std::uint32_t accent_fg = 0;
  std::uint32_t border = 0;
};

// The palette of the style called exactly `name`; empty when the program has
// no such style or its sheet lacks one of the colours.
std::optional<StylePalette> FindStylePalette(std::string_view name);

// The palette of the style the UI applied last, for the windows the program
// draws itself; empty for the system's look. UI thread.
void SetActiveStylePalette(std::optional<StylePalette> palette);
const std::optional<StylePalette>& ActiveStylePalette();

}  // namespace tessel::platform
