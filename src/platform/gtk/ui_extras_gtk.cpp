// The GTK side of the further system utilities: icons of .desktop entries and
// image files, text widths with Pango, key presses through XTest, quitting.
#include <dlfcn.h>
#include <gtk/gtk.h>
#include <pango/pangocairo.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/gtk/linux_os.h"
#include "platform/ui.h"

namespace tessel::platform {
namespace {

constexpr int kThemeIconSize = 48;

// The pixbuf's pixels as 0xAARRGGBB.
void FillBitmap(GdkPixbuf* pixbuf, Bitmap& bitmap) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf) != FALSE;
  const guchar* data = gdk_pixbuf_read_pixels(pixbuf);
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const guchar* row = data + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      const guchar* p = row + static_cast<std::ptrdiff_t>(x) * channels;
      const std::uint32_t a = alpha ? p[3] : 0xFF;
      pixels[static_cast<std::size_t>(y) * width + x] =
          (a << 24) | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
  }
  bitmap.width = width;
  bitmap.height = height;
  bitmap.pixels = std::move(pixels);
}

GdkPixbuf* LoadImageFile(const std::string& path) {
  GError* error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
  if (error != nullptr) g_error_free(error);
  return pixbuf;
}

// An icon name of the theme, or a file in the classic pixmaps folder.
GdkPixbuf* LoadNamedIcon(Ui& ui, const std::string& name) {
  if (ui.Initialize()) {
    GError* error = nullptr;
    GdkPixbuf* pixbuf =
        gtk_icon_theme_load_icon(gtk_icon_theme_get_default(), name.c_str(), kThemeIconSize,
                                 GTK_ICON_LOOKUP_FORCE_SIZE, &error);
    if (error != nullptr) g_error_free(error);
    if (pixbuf != nullptr) return pixbuf;
  }
  for (const char* ext : {".png", ".svg", ".xpm"}) {
    if (GdkPixbuf* pixbuf = LoadImageFile("/usr/share/pixmaps/" + name + ext)) return pixbuf;
  }
  return nullptr;
}

bool IsElf(const std::string& head) {
  return head.rfind(
             "\x7F"
             "ELF",
             0) == 0;
}

// libX11 and libXtst are opened on first use, so the runtime starts without
// them; the signatures are those of Xlib.h and XTest.h.
struct XTest {
  void* (*open_display)(const char*) = nullptr;
  int (*close_display)(void*) = nullptr;
  int (*flush)(void*) = nullptr;
  unsigned char (*keysym_to_keycode)(void*, unsigned long) = nullptr;
  int (*query_extension)(void*, int*, int*, int*, int*) = nullptr;
  int (*fake_key_event)(void*, unsigned int, int, unsigned long) = nullptr;
};

template <typename F>
bool Bind(void* lib, const char* name, F& fn) {
  fn = reinterpret_cast<F>(dlsym(lib, name));
  return fn != nullptr;
}

const XTest* LoadXTest() {
  static const XTest* const loaded = []() -> const XTest* {
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    void* xtst = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
    if (x11 == nullptr || xtst == nullptr) return nullptr;
    static XTest api;
    if (!Bind(x11, "XOpenDisplay", api.open_display) ||
        !Bind(x11, "XCloseDisplay", api.close_display) || !Bind(x11, "XFlush", api.flush) ||
        !Bind(x11, "XKeysymToKeycode", api.keysym_to_keycode) ||
        !Bind(xtst, "XTestQueryExtension", api.query_extension) ||
        !Bind(xtst, "XTestFakeKeyEvent", api.fake_key_event)) {
      return nullptr;
    }
    return &api;
  }();
  return loaded;
}

}  // namespace

bool Ui::ExtractFileIcon(const std::string& path, Bitmap& bitmap) {
  if (path.empty()) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string head(4, '\0');
  in.read(head.data(), 4);
  head.resize(static_cast<std::size_t>(in.gcount()));
  if (IsElf(head)) return false;  // a Linux program carries no icon of its own

  GdkPixbuf* pixbuf = nullptr;
  if (path.size() > 8 && path.compare(path.size() - 8, 8, ".desktop") == 0) {
    in.seekg(0);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string icon = DesktopEntryValue(text, "Icon");
    if (icon.empty()) return false;
    pixbuf = icon.front() == '/' ? LoadImageFile(icon) : LoadNamedIcon(*this, icon);
  } else {
    pixbuf = LoadImageFile(path);
  }
  if (pixbuf == nullptr) return false;
  FillBitmap(pixbuf, bitmap);
  g_object_unref(pixbuf);
  return true;
}

int Ui::TextWidth(const FontSpec& font, const std::string& text) {
  if (text.empty()) return 0;
  PangoFontMap* map = pango_cairo_font_map_get_default();
  PangoContext* context = pango_font_map_create_context(map);
  PangoLayout* layout = pango_layout_new(context);
  PangoFontDescription* desc = pango_font_description_from_string(font.name.c_str());
  pango_font_description_set_absolute_size(desc,
                                           static_cast<double>(font.pixel_size) * PANGO_SCALE);
  pango_font_description_set_weight(desc, font.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(desc, font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_layout_set_font_description(layout, desc);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  int width = 0;
  int height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  pango_font_description_free(desc);
  g_object_unref(layout);
  g_object_unref(context);
  return width;
}

bool Ui::PressKey(int virtual_key) {
  const unsigned long keysym = KeysymOfVirtualKey(virtual_key);
  const XTest* x = LoadXTest();
  if (keysym == 0 || x == nullptr) return false;
  void* display = x->open_display(nullptr);
  if (display == nullptr) return false;
  int event_base = 0;
  int error_base = 0;
  int major = 0;
  int minor = 0;
  bool sent = false;
  if (x->query_extension(display, &event_base, &error_base, &major, &minor) != 0) {
    const unsigned char keycode = x->keysym_to_keycode(display, keysym);
    if (keycode != 0) {
      x->fake_key_event(display, keycode, 1, 0);
      x->fake_key_event(display, keycode, 0, 0);
      x->flush(display);
      sent = true;
    }
  }
  x->close_display(display);
  return sent;
}

void Ui::QuitApplication() {
  if (!Initialize()) return;
  // Destroying a window ends its loop the way the window manager's kill does,
  // without a close query.
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) g_object_ref(w->data);
  for (GList* w = windows; w != nullptr; w = w->next) {
    gtk_widget_destroy(GTK_WIDGET(w->data));
    g_object_unref(w->data);
  }
  g_list_free(windows);
}

}  // namespace tessel::platform
