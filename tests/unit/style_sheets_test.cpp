// Every visual style name has a style sheet of its own in the program.
#include "platform/style_sheets.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "runtime/visual_styles.h"

namespace tessel::platform {
namespace {

// The colours each sheet must define for the shared rules.
const char* const kPalette[] = {"tessel_bg",        "tessel_fg",         "tessel_base",
                                "tessel_base_fg",   "tessel_button_top", "tessel_button_bottom",
                                "tessel_button_fg", "tessel_hover",      "tessel_accent",
                                "tessel_accent_fg", "tessel_border"};

// The style's own palette: its colour definitions, in order.
std::string Palette(std::string_view css) {
  const std::size_t own = css.find("/* style: ");
  std::string palette;
  for (std::size_t at = css.find("@define-color tessel_", own); at != std::string_view::npos;
       at = css.find("@define-color tessel_", at + 1)) {
    palette += css.substr(at, css.find(';', at) - at);
  }
  return palette;
}

std::set<std::string> Defined(std::string_view css) {
  std::set<std::string> names;
  const std::string_view key = "@define-color ";
  for (std::size_t at = css.find(key); at != std::string_view::npos; at = css.find(key, at + 1)) {
    const std::size_t start = at + key.size();
    names.insert(std::string(css.substr(start, css.find(' ', start) - start)));
  }
  return names;
}

std::set<std::string> Used(std::string_view css) {
  std::set<std::string> names;
  for (std::size_t at = css.find('@'); at != std::string_view::npos; at = css.find('@', at + 1)) {
    if (css.substr(at + 1).starts_with("define-color")) continue;
    std::size_t end = at + 1;
    while (end < css.size() &&
           (std::isalnum(static_cast<unsigned char>(css[end])) || css[end] == '_'))
      ++end;
    names.insert(std::string(css.substr(at + 1, end - at - 1)));
  }
  return names;
}

TEST(StyleSheetsTest, EveryStyleHasADistinctCompleteSheetAndNothingElseIsCarried) {
  std::set<std::string> palettes;
  for (const std::string_view name : runtime::VisualStyleNames()) {
    SCOPED_TRACE(std::string(name));
    const auto css = FindStyleSheet(name);
    ASSERT_TRUE(css.has_value());
    EXPECT_NE(css->find("/* style: " + std::string(name) + " */"), std::string_view::npos);
    for (const char* colour : kPalette) {
      EXPECT_NE(css->find("@define-color " + std::string(colour) + " "), std::string_view::npos)
          << colour;
    }
    EXPECT_EQ(css->find('\0'), std::string_view::npos);
    palettes.insert(Palette(*css));
    // Every colour used is defined: GTK would draw an undefined one in no
    // colour at all, and only when a widget needs it.
    const std::set<std::string> defined = Defined(*css);
    for (const std::string& used : Used(*css)) {
      EXPECT_TRUE(defined.count(used) == 1) << "@" << used << " is not defined";
    }
  }
  EXPECT_EQ(palettes.size(), runtime::VisualStyleNames().size());
  EXPECT_EQ(StyleSheets().size(), runtime::VisualStyleNames().size());
  // The platform's own look is no sheet, and names match exactly here (the
  // caseless lookup is start-up's).
  EXPECT_FALSE(FindStyleSheet("Windows").has_value());
  EXPECT_FALSE(FindStyleSheet("carbon").has_value());
}

// The palettes the Win32 windows draw from: read from each sheet's own
// definitions, not from the shared rules' references to them.
TEST(StyleSheetsTest, PalettesComeFromEachStylesOwnColours) {
  for (const std::string_view name : runtime::VisualStyleNames()) {
    EXPECT_TRUE(FindStylePalette(name).has_value()) << name;
  }
  const auto carbon = FindStylePalette("Carbon");
  ASSERT_TRUE(carbon.has_value());
  EXPECT_EQ(carbon->bg, 0x1e1e1eu);
  EXPECT_EQ(carbon->fg, 0xd8d8d8u);
  EXPECT_EQ(carbon->base, 0x121212u);
  EXPECT_EQ(carbon->accent, 0xf08a24u);
  EXPECT_EQ(carbon->border, 0x070707u);
  EXPECT_FALSE(FindStylePalette("Windows").has_value());
  EXPECT_FALSE(FindStylePalette("carbon").has_value());
}

}  // namespace
}  // namespace tessel::platform
