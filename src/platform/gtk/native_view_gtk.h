// The web view component's child area on GTK: a GtkLayout, which places the
// engine's view at the bounds the component asks for without taking the
// view's size as its own (so the window can still shrink). No GTK header
// here: the handle is the GtkLayout* as an opaque pointer.
#pragma once

#include <functional>
#include <memory>

#include "platform/native_view.h"

namespace tessel::platform {

class GtkNativeView : public NativeView {
 public:
  ~GtkNativeView() override = default;
  // Where keys offered by IsShortCut go (the top-level form's shortcut
  // handling); empty: nothing is consumed.
  virtual void SetShortcutHandler(std::function<bool(const KeyMessage&)> handler) = 0;
};

// UI thread; GTK must be initialised.
std::unique_ptr<GtkNativeView> MakeGtkNativeView();

}  // namespace tessel::platform
