// Applying a visual style's style sheet to every GTK window of the process.
// Private to platform/gtk.
#pragma once

#include <string>

namespace tessel::platform {

// Makes the style sheet of the style `name` the process's style, for every
// widget on the default screen from now on, replacing the one applied
// before. `display`: whether GTK has a screen; without one the sheet is only
// checked. False, with the look unchanged, when the program carries no such
// style or GTK refuses its sheet.
bool ApplyGtkStyleSheet(const std::string& name, bool display);

}  // namespace tessel::platform
