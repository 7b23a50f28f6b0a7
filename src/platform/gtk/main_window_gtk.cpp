// The application's top-level window on GTK 3. Border styles become the
// window manager's hints (Motif decorations and functions, window type,
// task bar hint) set on the existing GdkWindow, so changing them never
// re-creates the window or its content.
#include <gtk/gtk.h>

#include <algorithm>
#include <string>

#include "platform/gtk/gtk_ui.h"
#include "platform/gtk/native_view_gtk.h"
#include "shared/icon_image.h"

namespace tessel::platform {
namespace {

constexpr int kBusyBarHeight = 4;
constexpr guint kBusyBarPulseMs = 100;
// X11 window sizes are 16-bit; GDK warns above this.
constexpr int kLargestSize = 32767;

// GTK refuses text that is not UTF-8; a setting's value may reach a caption.
std::string ValidUtf8(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

int NormalizedBorder(int border) {
  return border >= kBorderNone && border <= kBorderSizeToolWindow ? border : kBorderSizeable;
}

bool IsToolWindow(int border) {
  return border == kBorderToolWindow || border == kBorderSizeToolWindow;
}

GdkWMDecoration DecorationsFor(int border) {
  constexpr int kCaption = GDK_DECOR_BORDER | GDK_DECOR_TITLE | GDK_DECOR_MENU;
  int decorations = 0;
  switch (border) {
    case kBorderNone:
      break;
    case kBorderSingle:
      decorations = kCaption | GDK_DECOR_MINIMIZE | GDK_DECOR_MAXIMIZE;
      break;
    case kBorderDialog:
    case kBorderToolWindow:
      decorations = kCaption;
      break;
    case kBorderSizeToolWindow:
      decorations = kCaption | GDK_DECOR_RESIZEH;
      break;
    default:  // sizeable
      decorations = kCaption | GDK_DECOR_RESIZEH | GDK_DECOR_MINIMIZE | GDK_DECOR_MAXIMIZE;
      break;
  }
  return static_cast<GdkWMDecoration>(decorations);
}

// Every function stays allowed whatever the border: the program (and the
// page, through the bridge) may set any state on any style, as Windows
// allows, and window managers refuse to maximize a window they may not
// resize. The decorations decide which buttons and handles the user gets;
// fixed-size styles pin the size through the size hints instead.
GdkWMFunction FunctionsFor(int /*border*/) {
  return static_cast<GdkWMFunction>(GDK_FUNC_RESIZE | GDK_FUNC_MOVE | GDK_FUNC_MINIMIZE |
                                    GDK_FUNC_MAXIMIZE | GDK_FUNC_CLOSE);
}

bool IsFixedSize(int border) {
  return border != kBorderSizeable && border != kBorderSizeToolWindow;
}

class GtkMainWindow : public TopLevelWindow {
 public:
  GtkMainWindow() : window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)) {
    // Our own reference: the widget outlives a destruction by someone else.
    g_object_ref(window_);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);

    box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window_), box_);
    gtk_widget_show(box_);

    busy_bar_ = gtk_progress_bar_new();
    gtk_widget_set_size_request(busy_bar_, -1, kBusyBarHeight);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css,
                                    "progressbar, progressbar trough, progressbar progress {"
                                    " min-height: 4px; min-width: 0; padding: 0; margin: 0; }",
                                    -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(busy_bar_), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(busy_bar_), 0.05);
    // Packed at the end: whatever the content adds to the box stays above.
    gtk_box_pack_end(GTK_BOX(box_), busy_bar_, FALSE, FALSE, 0);

    g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) {
                       static_cast<GtkMainWindow*>(self)->RequestClose();
                       // We destroy the window ourselves, once it may go.
                       return TRUE;
                     }),
                     this);
    g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                       static_cast<GtkMainWindow*>(self)->Destroyed();
                     }),
                     this);
    g_signal_connect(
        window_, "window-state-event",
        G_CALLBACK(+[](GtkWidget*, GdkEventWindowState* event, gpointer self) -> gboolean {
          static_cast<GtkMainWindow*>(self)->StateChanged(event->new_window_state);
          return FALSE;
        }),
        this);
    g_signal_connect(
        window_, "configure-event",
        G_CALLBACK(+[](GtkWidget* widget, GdkEvent*, gpointer self) -> gboolean {
          // The restored size only: a maximized window keeps the
          // size it returns to.
          constexpr int kPlaced = GDK_WINDOW_STATE_MAXIMIZED | GDK_WINDOW_STATE_FULLSCREEN |
                                  GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_TILED;
          GdkWindow* gdk_window = gtk_widget_get_window(widget);
          if (gdk_window != nullptr && (gdk_window_get_state(gdk_window) & kPlaced) == 0) {
            auto* me = static_cast<GtkMainWindow*>(self);
            gtk_window_get_size(GTK_WINDOW(widget), &me->width_, &me->height_);
          }
          return FALSE;
        }),
        this);
    // GTK sets its own decorations while it realizes the window; ours go on
    // after that.
    g_signal_connect_after(window_, "realize", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                             static_cast<GtkMainWindow*>(self)->ApplyBorderToGdkWindow();
                           }),
                           this);
    ApplyBorder();
    gtk_window_set_default_size(GTK_WINDOW(window_), width_, height_);
  }

  ~GtkMainWindow() override {
    StopPulse();
    g_signal_handlers_disconnect_by_data(window_, this);
    if (!destroyed_) gtk_widget_destroy(window_);
    g_object_unref(window_);
  }

  GtkMainWindow(const GtkMainWindow&) = delete;
  GtkMainWindow& operator=(const GtkMainWindow&) = delete;

  void SetCaption(const std::string& caption) override {
    caption_ = caption;
    gtk_window_set_title(GTK_WINDOW(window_), ValidUtf8(WindowSystemTitle(caption)).c_str());
  }
  std::string Caption() const override { return caption_; }

  void SetApplicationTitle(const std::string& title) override {
    application_title_ = title;
    // GLib takes the application name once per process.
    static bool named = false;
    if (!named && !title.empty()) {
      named = true;
      g_set_application_name(ValidUtf8(WindowSystemTitle(title)).c_str());
    }
  }
  std::string ApplicationTitle() const override { return application_title_; }

  void SetApplicationId(const std::string& id) override {
    if (id.empty()) return;
    // Desktops match the window class (instance and class) against a
    // desktop entry's StartupWMClass, Wayland's application id is the
    // program name. GtkWindow took its class from the program's when it was
    // made; the call to change it is deprecated but still the one that works
    // before the window is realized.
    g_set_prgname(id.c_str());
    gdk_set_program_class(id.c_str());
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_window_set_wmclass(GTK_WINDOW(window_), id.c_str(), id.c_str());
    G_GNUC_END_IGNORE_DEPRECATIONS
  }

  void SetIcon(const std::string& png) override {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    const bool written =
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(),
                                nullptr) != FALSE;
    // Closed either way: a loader must not be freed open.
    const bool read = gdk_pixbuf_loader_close(loader, nullptr) != FALSE && written;
    GdkPixbuf* picture = read ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (picture != nullptr) {
      const int side = std::min(gdk_pixbuf_get_width(picture), gdk_pixbuf_get_height(picture));
      GList* icons = nullptr;
      for (const int size : shared::IconSizes(side)) {
        icons =
            g_list_append(icons, gdk_pixbuf_scale_simple(picture, size, size, GDK_INTERP_HYPER));
      }
      if (icons != nullptr) gtk_window_set_icon_list(GTK_WINDOW(window_), icons);
      g_list_free_full(icons, g_object_unref);
    }
    g_object_unref(loader);
  }

  int Width() const override { return width_; }
  int Height() const override { return height_; }

  void SetBorderStyle(int border_style) override {
    border_ = NormalizedBorder(border_style);
    ApplyBorder();
    UpdateHints();
  }
  int BorderStyle() const override { return border_; }

  void SetWindowState(WindowState state) override {
    // The hints first: a pinned size would keep the window manager from
    // maximizing.
    state_ = state;
    UpdateHints();
    GtkWindow* window = GTK_WINDOW(window_);
    switch (state) {
      case WindowState::Normal:
        gtk_window_deiconify(window);
        gtk_window_unmaximize(window);
        break;
      case WindowState::Minimized:
        gtk_window_iconify(window);
        break;
      case WindowState::Maximized:
        gtk_window_deiconify(window);
        gtk_window_maximize(window);
        break;
    }
    // Until the window manager answers, the state asked for is the state.
  }
  WindowState State() const override { return state_; }

  void SetStayOnTop(bool stay_on_top) override {
    stay_on_top_ = stay_on_top;
    gtk_window_set_keep_above(GTK_WINDOW(window_), stay_on_top ? TRUE : FALSE);
  }
  bool StayOnTop() const override { return stay_on_top_; }

  NativeWindowHandle ClientArea() override { return box_; }

  std::unique_ptr<NativeView> CreateContentView() override { return MakeGtkNativeView(); }

  void SetBusyBarVisible(bool visible) override {
    gtk_widget_set_visible(busy_bar_, visible ? TRUE : FALSE);
    if (visible && pulse_ == 0) {
      pulse_ = g_timeout_add(
          kBusyBarPulseMs,
          +[](gpointer bar) -> gboolean {
            gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
            return G_SOURCE_CONTINUE;
          },
          busy_bar_);
    } else if (!visible) {
      StopPulse();
    }
  }
  bool BusyBarVisible() const override { return gtk_widget_get_visible(busy_bar_) != FALSE; }

  void Activate() override {
    if (!closed_) gtk_window_present(GTK_WINDOW(window_));
  }

  void Show() override {
    if (closed_ || destroyed_) return;
    gtk_widget_show(window_);
    shown_ = true;
  }
  bool Shown() const override { return shown_ && !closed_; }

  void Close() override { RequestClose(); }
  bool Closed() const override { return closed_; }

  void RunMessageLoop() override {
    if (!closed_ && !shown_) Show();
    if (!closed_) {
      loop_ = g_main_loop_new(nullptr, FALSE);
      g_main_loop_run(loop_);
      g_main_loop_unref(loop_);
      loop_ = nullptr;
    }
    if (!on_close_done_) {
      on_close_done_ = true;
      if (OnClose) OnClose();
    }
    if (!destroyed_) gtk_widget_destroy(window_);
    // Lets the X server see the window go before the caller moves on (for
    // instance to end the process).
    while (gtk_events_pending()) gtk_main_iteration();
  }

 protected:
  void ApplySize(int width, int height) override {
    width_ = std::clamp(width, 1, kLargestSize);
    height_ = std::clamp(height, 1, kLargestSize);
    UpdateHints();
    gtk_window_set_default_size(GTK_WINDOW(window_), width_, height_);
    gtk_window_resize(GTK_WINDOW(window_), width_, height_);
  }

  void ApplyLimits() override { UpdateHints(); }

 private:
  void RequestClose() {
    if (closed_) return;
    if (OnCloseQuery && !OnCloseQuery()) return;
    closed_ = true;
    // Gone from the screen now; OnClose and the destruction follow once the
    // loop has unwound.
    gtk_widget_hide(window_);
    if (loop_ != nullptr) g_main_loop_quit(loop_);
  }

  void Destroyed() {
    destroyed_ = true;
    closed_ = true;
    StopPulse();
    if (loop_ != nullptr) g_main_loop_quit(loop_);
  }

  void StateChanged(GdkWindowState state) {
    if ((state & GDK_WINDOW_STATE_WITHDRAWN) != 0) return;
    WindowState now = WindowState::Normal;
    if ((state & GDK_WINDOW_STATE_ICONIFIED) != 0) {
      now = WindowState::Minimized;
    } else if ((state & (GDK_WINDOW_STATE_MAXIMIZED | GDK_WINDOW_STATE_FULLSCREEN)) != 0) {
      now = WindowState::Maximized;
    }
    if (now == state_) return;
    state_ = now;
    UpdateHints();
  }

  // The window manager's size hints: the limits and, for a fixed-size
  // border in the normal state, the size itself as both minimum and maximum.
  void UpdateHints() {
    const SizeLimits& limits = Limits();
    GdkGeometry geometry{};
    int hints = 0;
    if (IsFixedSize(border_) && state_ == WindowState::Normal) {
      hints = GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE;
      geometry.min_width = geometry.max_width = width_;
      geometry.min_height = geometry.max_height = height_;
    } else {
      if (limits.MaxWidth() != 0 || limits.MaxHeight() != 0) {
        hints |= GDK_HINT_MAX_SIZE;
        geometry.max_width = limits.MaxWidth() != 0 ? limits.MaxWidth() : kLargestSize;
        geometry.max_height = limits.MaxHeight() != 0 ? limits.MaxHeight() : kLargestSize;
      }
      if (limits.MinWidth() != 0 || limits.MinHeight() != 0) {
        hints |= GDK_HINT_MIN_SIZE;
        geometry.min_width = limits.MinWidth();
        geometry.min_height = limits.MinHeight();
      }
    }
    gtk_window_set_geometry_hints(GTK_WINDOW(window_), nullptr, &geometry,
                                  static_cast<GdkWindowHints>(hints));
    // GTK hands its hints over at its next resize; a state request sent now
    // must find the window manager with these already.
    if (GdkWindow* gdk_window = gtk_widget_get_window(window_)) {
      gdk_window_set_geometry_hints(gdk_window, &geometry, static_cast<GdkWindowHints>(hints));
    }
  }

  void ApplyBorder() {
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_decorated(window, border_ != kBorderNone ? TRUE : FALSE);
    gtk_window_set_type_hint(
        window, IsToolWindow(border_) ? GDK_WINDOW_TYPE_HINT_UTILITY : GDK_WINDOW_TYPE_HINT_NORMAL);
    gtk_window_set_skip_taskbar_hint(window, IsToolWindow(border_) ? TRUE : FALSE);
    ApplyBorderToGdkWindow();
  }

  void ApplyBorderToGdkWindow() {
    GdkWindow* gdk_window = gtk_widget_get_window(window_);
    if (gdk_window == nullptr) return;
    gdk_window_set_decorations(gdk_window, DecorationsFor(border_));
    gdk_window_set_functions(gdk_window, FunctionsFor(border_));
  }

  void StopPulse() {
    if (pulse_ == 0) return;
    g_source_remove(pulse_);
    pulse_ = 0;
  }

  GtkWidget* window_;
  GtkWidget* box_ = nullptr;
  GtkWidget* busy_bar_ = nullptr;
  guint pulse_ = 0;
  GMainLoop* loop_ = nullptr;

  std::string caption_;
  std::string application_title_;
  int width_ = 800;
  int height_ = 600;
  int border_ = kBorderSizeable;
  WindowState state_ = WindowState::Normal;
  bool stay_on_top_ = false;
  bool shown_ = false;
  bool closed_ = false;
  bool destroyed_ = false;
  bool on_close_done_ = false;
};

}  // namespace

std::unique_ptr<TopLevelWindow> GtkUi::CreateMainWindow() {
  if (!Initialize()) return nullptr;
  return std::make_unique<GtkMainWindow>();
}

}  // namespace tessel::platform
