// The named visual styles an app may choose with its `Theme` setting.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::runtime {

// The platform's own look; compared exactly, unlike style names.
inline constexpr std::string_view kPlatformStyleName = "Windows";

// The names of every style carried by the runtime, in their canonical spelling.
const std::vector<std::string_view>& VisualStyleNames();

// The canonical name of the style called `name` (ASCII case ignored), if any.
std::optional<std::string_view> FindVisualStyle(std::string_view name);

// Applies `theme` to every window the process shows from now on: "Windows"
// keeps the platform look; a known style goes to the UI seam; any other name
// shows "Style '<name>' not found" and keeps the platform look.
void ApplyTheme(const std::string& theme);

}  // namespace tessel::runtime
