#include "platform/gtk/native_view_gtk.h"

#include <gtk/gtk.h>

#include <utility>

namespace tessel::platform {
namespace {

class GtkLayoutView : public GtkNativeView {
 public:
  GtkLayoutView() : layout_(gtk_layout_new(nullptr, nullptr)) {
    g_object_ref_sink(layout_);
    // Fills whatever box it is put in, as a client-aligned control does.
    gtk_widget_set_hexpand(layout_, TRUE);
    gtk_widget_set_vexpand(layout_, TRUE);
    g_signal_connect(layout_, "size-allocate",
                     G_CALLBACK(+[](GtkWidget*, GdkRectangle* allocation, gpointer data) {
                       static_cast<GtkLayoutView*>(data)->Allocated(*allocation);
                     }),
                     this);
    g_signal_connect(layout_, "notify::visible",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                       auto* self = static_cast<GtkLayoutView*>(data);
                       if (self->client_ != nullptr) self->client_->VisibleChanged();
                     }),
                     this);
    g_signal_connect(layout_, "hierarchy-changed",
                     G_CALLBACK(+[](GtkWidget*, GtkWidget*, gpointer data) {
                       static_cast<GtkLayoutView*>(data)->WatchToplevel();
                     }),
                     this);
    gtk_widget_show(layout_);
  }

  ~GtkLayoutView() override {
    client_ = nullptr;
    UnwatchToplevel();
    g_signal_handlers_disconnect_by_data(layout_, this);
    gtk_widget_destroy(layout_);
    g_object_unref(layout_);
  }

  void SetShortcutHandler(std::function<bool(const KeyMessage&)> handler) override {
    shortcut_handler_ = std::move(handler);
  }

  void SetClient(NativeViewClient* client) override { client_ = client; }

  void SetParent(NativeWindowHandle parent) override {
    GtkWidget* current = gtk_widget_get_parent(layout_);
    if (current == parent) return;
    if (current != nullptr) gtk_container_remove(GTK_CONTAINER(current), layout_);
    if (parent != nullptr) gtk_container_add(GTK_CONTAINER(parent), layout_);
  }
  NativeWindowHandle Parent() const override { return gtk_widget_get_parent(layout_); }

  // GTK widgets exist from construction on and are never re-created.
  NativeWindowHandle Handle() override { return layout_; }
  bool HandleAllocated() const override { return true; }

  Rect ClientRect() const override {
    return Rect{0, 0, gtk_widget_get_allocated_width(layout_),
                gtk_widget_get_allocated_height(layout_)};
  }
  bool Visible() const override { return gtk_widget_get_visible(layout_) != FALSE; }
  void SetVisible(bool visible) override {
    gtk_widget_set_visible(layout_, visible ? TRUE : FALSE);
  }

  // The area itself takes no focus; the component moves it into the view.
  void Focus() override {}

  void SelectNext(bool forward) override {
    GtkWidget* toplevel = gtk_widget_get_toplevel(layout_);
    if (!gtk_widget_is_toplevel(toplevel)) return;
    gtk_widget_child_focus(toplevel, forward ? GTK_DIR_TAB_FORWARD : GTK_DIR_TAB_BACKWARD);
  }

  bool HasParentForm() const override {
    GtkWidget* toplevel = gtk_widget_get_toplevel(layout_);
    return toplevel != layout_ && GTK_IS_WINDOW(toplevel);
  }

  bool IsShortCut(const KeyMessage& message) override {
    return HasParentForm() && shortcut_handler_ && shortcut_handler_(message);
  }

 private:
  void Allocated(const GdkRectangle& allocation) {
    // GTK allocates again whenever a child asks to be resized; only a new size
    // is a resize of the control.
    if (allocation.width == width_ && allocation.height == height_) return;
    width_ = allocation.width;
    height_ = allocation.height;
    if (client_ != nullptr) client_->Resized();
  }

  void WatchToplevel() {
    GtkWidget* toplevel = gtk_widget_get_toplevel(layout_);
    GtkWidget* window = GTK_IS_WINDOW(toplevel) ? toplevel : nullptr;
    if (window == toplevel_) return;
    UnwatchToplevel();
    toplevel_ = window;
    if (toplevel_ == nullptr) return;
    g_object_add_weak_pointer(G_OBJECT(toplevel_), reinterpret_cast<gpointer*>(&toplevel_));
    state_handler_ = g_signal_connect(
        toplevel_, "window-state-event",
        G_CALLBACK(+[](GtkWidget*, GdkEventWindowState* event, gpointer data) -> gboolean {
          static_cast<GtkLayoutView*>(data)->WindowState(*event);
          return FALSE;
        }),
        this);
  }

  void UnwatchToplevel() {
    if (toplevel_ == nullptr) return;
    g_signal_handler_disconnect(toplevel_, state_handler_);
    g_object_remove_weak_pointer(G_OBJECT(toplevel_), reinterpret_cast<gpointer*>(&toplevel_));
    toplevel_ = nullptr;
  }

  // Minimising and restoring the window are the system commands of GTK.
  void WindowState(const GdkEventWindowState& event) {
    if ((event.changed_mask & GDK_WINDOW_STATE_ICONIFIED) == 0 || client_ == nullptr) return;
    const bool iconified = (event.new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
    client_->SystemCommand(iconified ? kScMinimize : kScRestore);
  }

  GtkWidget* layout_;
  NativeViewClient* client_ = nullptr;
  std::function<bool(const KeyMessage&)> shortcut_handler_;
  GtkWidget* toplevel_ = nullptr;
  gulong state_handler_ = 0;
  int width_ = -1;
  int height_ = -1;
};

}  // namespace

std::unique_ptr<GtkNativeView> MakeGtkNativeView() { return std::make_unique<GtkLayoutView>(); }

}  // namespace tessel::platform
