// The windowed child control the web view component lives in: what the
// component needs of the UI toolkit (a native child window with a parent,
// bounds, visibility, keyboard focus, a place in the tab order, and the
// top-level form's keyboard shortcuts). Kept minimal on purpose; it belongs
// with the UI seam in the long run.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/engine.h"

namespace tessel::platform {

// A Windows key message, the form in which keys are offered to a form's
// shortcut handling on every platform.
struct KeyMessage {
  std::uint32_t message = 0;  // WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP
  std::uint64_t wparam = 0;   // virtual-key code
  std::int64_t lparam = 0;    // repeat count, scan code and flags, sign-extended
};

inline constexpr std::uint32_t kWmKeyDown = 0x0100;
inline constexpr std::uint32_t kWmKeyUp = 0x0101;
inline constexpr std::uint32_t kWmSysKeyDown = 0x0104;
inline constexpr std::uint32_t kWmSysKeyUp = 0x0105;
inline constexpr std::uint32_t kScMinimize = 0xF020;
inline constexpr std::uint32_t kScRestore = 0xF120;

// What the toolkit tells the control's owner. Called on the UI thread.
class NativeViewClient {
 public:
  virtual ~NativeViewClient() = default;
  // The native window was created (again, when an ancestor was re-created).
  virtual void HandleCreated() = 0;
  // The client rectangle changed.
  virtual void Resized() = 0;
  virtual void VisibleChanged() = 0;
  // The control itself received or lost the keyboard focus.
  virtual void FocusEntered() = 0;
  virtual void FocusLeft() = 0;
  // The top-level window received a system command (kScMinimize, kScRestore,
  // or another SC_ value).
  virtual void SystemCommand(std::uint32_t command) = 0;
};

// UI thread only.
class NativeView {
 public:
  virtual ~NativeView() = default;

  // Where notifications go; nullptr stops them. Not owned.
  virtual void SetClient(NativeViewClient* client) = 0;

  // Places the control in `parent` (null takes it out of its parent). On GTK
  // `parent` is a GtkContainer*; on Windows an HWND.
  virtual void SetParent(NativeWindowHandle parent) = 0;
  virtual NativeWindowHandle Parent() const = 0;

  // The control's own native window, created now when it does not exist yet
  // (never null afterwards).
  virtual NativeWindowHandle Handle() = 0;
  virtual bool HandleAllocated() const = 0;

  // The client rectangle: (0, 0, width, height).
  virtual Rect ClientRect() const = 0;
  virtual bool Visible() const = 0;
  virtual void SetVisible(bool visible) = 0;

  // The toolkit's own focusing of the control.
  virtual void Focus() = 0;
  // Moves the focus from this control to the next control in the tab order
  // (backward when `forward` is false), tab stops only.
  virtual void SelectNext(bool forward) = 0;

  // True when the control sits in a top-level form.
  virtual bool HasParentForm() const = 0;
  // Offers `message` to that form's keyboard-shortcut handling; true when
  // the form consumed it. False without a form.
  virtual bool IsShortCut(const KeyMessage& message) = 0;
};

}  // namespace tessel::platform
