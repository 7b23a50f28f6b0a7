// The start-up part of the user-interface seam: the password prompt, the
// engine installer's splash, the system colours the splash may name, and the
// elevated run of the installer that keeps the splash animating. Kept apart
// from ui.h so the start-up windows can grow without touching the main
// window's seam.
//
// Every method runs on the UI thread (the thread that first used platform::Ui);
// texts are UTF-8. Implementations connect to the display through
// platform::CurrentUi().Initialize(), so the visual style applied there
// governs these windows too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tessel::platform {

// A colour as red, green and blue.
struct RgbColor {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const RgbColor&, const RgbColor&) = default;
};

// The splash's busy indicator: its kind and colour, with the values the
// settings use.
enum class BusyIndicatorKind { MomentumDots = 0, RotatingSector = 1, SectorRing = 2 };
enum class BusyIndicatorColor { Black = 0, White = 1 };

// Everything the native splash needs to draw itself; colours already resolved.
struct InstallerSplashLook {
  std::string caption;  // not drawn (no frame); what the desktop lists it as
  RgbColor color;       // the form's colour
  BusyIndicatorKind indicator_kind = BusyIndicatorKind::MomentumDots;
  BusyIndicatorColor indicator_color = BusyIndicatorColor::White;
};

// The installer splash: a borderless 80x80 window with rounded corners,
// centred on the screen, the application-starting cursor over it, and a 64x64
// busy indicator at (9, 8) that animates whenever the UI thread runs the
// toolkit's loop (a modal dialog, RunAsAdminAndWait). The user cannot close
// it. Destroying the object destroys the window.
class InstallerSplash {
 public:
  virtual ~InstallerSplash() = default;
  // Shows the window without a modal loop and returns at once. Without a
  // display nothing is shown.
  virtual void Show() = 0;
  virtual bool Visible() const = 0;
};

// Called at every key release in the password prompt's edit box with its
// whole text; true closes the prompt as accepted.
using PasswordKeyUp = std::function<bool(const std::string& text)>;

class StartupUi {
 public:
  virtual ~StartupUi() = default;

  // Shows the password prompt modally: a dialog-framed window titled
  // `caption` with a 308x71 client area, centred, holding one masked edit box
  // ("*" for every character) with a key symbol at its left. After every key
  // release in the edit box `key_up` gets the whole text; when it answers
  // true the prompt closes and this returns true. The close box (or the
  // system's close command) returns false. Enter and Escape do nothing.
  // Without a display nothing is shown and the answer is false.
  virtual bool RunPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) = 0;

  // A new installer splash with `look`, not shown yet. Never null.
  virtual std::unique_ptr<InstallerSplash> CreateInstallerSplash(
      const InstallerSplashLook& look) = 0;

  // The platform's colour for the classic system colour index `index`
  // (COLOR_WINDOW = 5, COLOR_BTNFACE = 15, COLOR_HOTLIGHT = 26, ...), or none
  // when the platform has no colour of its own for it (the caller then takes
  // a fixed one, see ResolveSystemColor).
  virtual std::optional<RgbColor> SystemColor(int index) = 0;

  // Starts `file` with the argument text `params` (may be empty) with
  // administrator rights and waits for it to end while the toolkit's loop
  // keeps running, so shown windows repaint and animate. Returns the
  // program's exit code, or 0 when it did not start (missing file, refused
  // elevation, no elevation tool) or when the application was told to quit
  // while waiting. No error is shown.
  virtual std::uint32_t RunAsAdminAndWait(const std::string& file, const std::string& params) = 0;
};

// The process-wide start-up UI: the real implementation unless a test
// installed another with SetCurrentStartupUi. Not owned by the caller.
StartupUi& CurrentStartupUi();

// Installs `ui` as the process-wide start-up UI (tests only); nullptr restores
// the real one. The caller keeps ownership and must outlive its use.
void SetCurrentStartupUi(StartupUi* ui);

// The platform's real implementation (chosen by CMake).
std::unique_ptr<StartupUi> MakeNativeStartupUi();

// The colour of system colour index `index`: the platform's through
// CurrentStartupUi().SystemColor, else the classic default of that index
// (Windows 10's), black for an index that names no colour.
RgbColor ResolveSystemColor(int index);

}  // namespace tessel::platform
