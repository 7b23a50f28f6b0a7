// The installer splash on GTK 3: an undecorated splash-screen window whose one
// child, a drawing area, paints the form's colour and the busy indicator.
// The rounded corners are an X shape, so they hold without a compositor; a
// drop shadow needs one and is left to the window manager.
#include <gtk/gtk.h>

#include <algorithm>

#include "platform/busy_indicator.h"
#include "platform/gtk/startup_gtk.h"

namespace tessel::platform {
namespace {

// Corner ellipses of 4 by 4 pixels: two pixels cut from the outer row and
// one from the next, at each corner.
cairo_region_t* RoundedRegion(int width, int height) {
  cairo_region_t* region = cairo_region_create();
  for (int y = 0; y < height; ++y) {
    const int edge = std::min(y, height - 1 - y);
    const int cut = edge == 0 ? 2 : edge == 1 ? 1 : 0;
    const cairo_rectangle_int_t row{cut, y, width - 2 * cut, 1};
    cairo_region_union_rectangle(region, &row);
  }
  return region;
}

// Our angles start at twelve o'clock; cairo's at three.
double CairoAngle(double angle) { return angle - G_PI / 2; }

class GtkInstallerSplash : public InstallerSplash {
 public:
  explicit GtkInstallerSplash(const InstallerSplashLook& look) : look_(look) {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);
    GtkWindow* window = GTK_WINDOW(window_);
    gchar* title = g_utf8_make_valid(look.caption.c_str(), -1);
    gtk_window_set_title(window, title);
    g_free(title);
    gtk_window_set_decorated(window, FALSE);
    gtk_window_set_deletable(window, FALSE);
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_SPLASHSCREEN);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    area_ = gtk_drawing_area_new();
    gtk_widget_set_size_request(area_, kInstallerSplashSize, kInstallerSplashSize);
    gtk_container_add(GTK_CONTAINER(window_), area_);
    g_signal_connect(area_, "draw", G_CALLBACK(OnDraw), this);
    // The form refuses every close request.
    g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);
    g_signal_connect(window_, "realize", G_CALLBACK(OnRealize), nullptr);
  }

  ~GtkInstallerSplash() override {
    if (timer_ != 0) g_source_remove(timer_);
    gtk_widget_destroy(window_);
    g_object_unref(window_);
    while (gtk_events_pending()) gtk_main_iteration();
  }

  void Show() override {
    if (timer_ == 0) {
      started_us_ = g_get_monotonic_time();
      timer_ = g_timeout_add(kBusyIndicatorFrameMs, OnTick, this);
    }
    gtk_widget_show_all(window_);
    // On screen now, before the caller blocks in something that is not a loop.
    while (gtk_events_pending()) gtk_main_iteration();
  }

  bool Visible() const override { return gtk_widget_get_visible(window_) != FALSE; }

 private:
  static void OnRealize(GtkWidget* widget, gpointer /*data*/) {
    GdkWindow* gdk_window = gtk_widget_get_window(widget);
    cairo_region_t* region = RoundedRegion(kInstallerSplashSize, kInstallerSplashSize);
    gdk_window_shape_combine_region(gdk_window, region, 0, 0);
    cairo_region_destroy(region);
    // The application-starting cursor: an arrow with a busy sign.
    if (GdkCursor* cursor =
            gdk_cursor_new_from_name(gdk_window_get_display(gdk_window), "progress")) {
      gdk_window_set_cursor(gdk_window, cursor);
      g_object_unref(cursor);
    }
  }

  static gboolean OnTick(gpointer data) {
    gtk_widget_queue_draw(static_cast<GtkInstallerSplash*>(data)->area_);
    return G_SOURCE_CONTINUE;
  }

  static gboolean OnDraw(GtkWidget* /*area*/, cairo_t* cr, gpointer data) {
    static_cast<GtkInstallerSplash*>(data)->Draw(cr);
    return TRUE;
  }

  void Draw(cairo_t* cr) const {
    const RgbColor bg = look_.color;
    cairo_set_source_rgb(cr, bg.red / 255.0, bg.green / 255.0, bg.blue / 255.0);
    cairo_paint(cr);
    const RgbColor fg = IndicatorRgb(look_.indicator_color);
    const auto elapsed_ms =
        static_cast<std::uint64_t>((g_get_monotonic_time() - started_us_) / 1000);
    cairo_translate(cr, kBusyIndicatorLeft, kBusyIndicatorTop);
    for (const IndicatorShape& s :
         BusyIndicatorFrame(look_.indicator_kind, kBusyIndicatorSize, elapsed_ms)) {
      cairo_set_source_rgba(cr, fg.red / 255.0, fg.green / 255.0, fg.blue / 255.0, s.opacity);
      cairo_new_path(cr);
      if (s.IsDisc()) {
        cairo_arc(cr, s.center_x, s.center_y, s.outer_radius, 0, 2 * G_PI);
      } else {
        const double from = CairoAngle(s.start_angle);
        const double to = CairoAngle(s.start_angle + s.sweep);
        if (s.inner_radius > 0) {
          cairo_arc(cr, s.center_x, s.center_y, s.outer_radius, from, to);
          cairo_arc_negative(cr, s.center_x, s.center_y, s.inner_radius, to, from);
        } else {
          cairo_move_to(cr, s.center_x, s.center_y);
          cairo_arc(cr, s.center_x, s.center_y, s.outer_radius, from, to);
        }
        cairo_close_path(cr);
      }
      cairo_fill(cr);
    }
  }

  InstallerSplashLook look_;
  GtkWidget* window_ = nullptr;
  GtkWidget* area_ = nullptr;
  guint timer_ = 0;
  gint64 started_us_ = 0;
};

class HeadlessInstallerSplash : public InstallerSplash {
 public:
  void Show() override {}
  bool Visible() const override { return false; }
};

}  // namespace

std::unique_ptr<InstallerSplash> MakeGtkInstallerSplash(const InstallerSplashLook& look) {
  return std::make_unique<GtkInstallerSplash>(look);
}

std::unique_ptr<InstallerSplash> MakeHeadlessInstallerSplash() {
  return std::make_unique<HeadlessInstallerSplash>();
}

}  // namespace tessel::platform
