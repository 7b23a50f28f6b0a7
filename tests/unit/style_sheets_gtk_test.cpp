// The style sheets as GTK reads them: every sheet parses without a complaint,
// and GtkUi applies a known style and refuses an unknown one.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "platform/style_sheets.h"
#include "platform/ui.h"

namespace tessel::platform {
namespace {

void OnParsingError(GtkCssProvider* /*provider*/, GtkCssSection* section, GError* error,
                    gpointer data) {
  static_cast<std::vector<std::string>*>(data)->push_back(
      "line " + std::to_string(gtk_css_section_get_start_line(section) + 1) + ": " +
      error->message);
}

TEST(StyleSheetsGtkTest, EverySheetParses) {
  ASSERT_FALSE(StyleSheets().empty());
  for (const StyleSheet& sheet : StyleSheets()) {
    SCOPED_TRACE(std::string(sheet.name));
    std::vector<std::string> errors;
    GtkCssProvider* provider = gtk_css_provider_new();
    g_signal_connect(provider, "parsing-error", G_CALLBACK(OnParsingError), &errors);
    const std::optional<std::string> css = FindStyleSheet(sheet.name);
    ASSERT_TRUE(css.has_value());
    gtk_css_provider_load_from_data(provider, css->data(), static_cast<gssize>(css->size()),
                                    nullptr);
    g_object_unref(provider);
    EXPECT_EQ(errors, std::vector<std::string>{});
  }
}

TEST(StyleSheetsGtkTest, GtkUiAppliesOnlyTheStylesItCarries) {
  const std::unique_ptr<Ui> ui = MakeNativeUi();
  EXPECT_TRUE(ui->ApplyStyle("Carbon"));
  EXPECT_TRUE(ui->ApplyStyle("Windows10 SlateGray"));
  EXPECT_FALSE(ui->ApplyStyle("Carbonn"));
  EXPECT_FALSE(ui->ApplyStyle(""));
  if (!ui->Initialize()) return;  // the rest needs a display
  // With a display the sheet is on the screen: a window takes its colours.
  ASSERT_TRUE(ui->ApplyStyle("Carbon"));
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* label = gtk_label_new("x");
  gtk_container_add(GTK_CONTAINER(window), label);
  GdkRGBA color;
  gtk_style_context_get_color(gtk_widget_get_style_context(label), GTK_STATE_FLAG_NORMAL, &color);
  EXPECT_NEAR(color.red, 0xD8 / 255.0, 0.01);
  GdkRGBA accent;
  ASSERT_TRUE(gtk_style_context_lookup_color(gtk_widget_get_style_context(window),
                                             "theme_selected_bg_color", &accent));
  EXPECT_NEAR(accent.red, 0xF0 / 255.0, 0.01);
  EXPECT_NEAR(accent.green, 0x8A / 255.0, 0.01);
  gtk_widget_destroy(window);
}

}  // namespace
}  // namespace tessel::platform
