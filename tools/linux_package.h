// A packed Linux app on the desktop: its desktop entry and icons beside it,
// or a Debian package that installs it with them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/settings.h"

namespace tessel::shared {

struct TDesktopEntry {
  std::string name;        // the app's Name
  std::string exec;        // the program to start, an absolute path
  std::string icon;        // an absolute path or a themed icon's name
  std::string wm_class;    // the window's class (DesktopAppId of the ID)
  std::string categories;  // ';'-separated; empty: "Utility;"
  std::string comment;     // empty: none
};

// The text of a desktop entry, as freedesktop.org desktops read it.
std::string DesktopEntryText(const TDesktopEntry& entry);

// `path` as one argument of an Exec line: quoted when it needs to be, with
// the characters desktop entries reserve escaped, and '%' doubled.
std::string DesktopExecArgument(std::string_view path);

// A Debian package name from an app's ID: lowercase, only [a-z0-9.+-] (other
// characters become '-'), starting with a letter or digit, at least two
// characters. Throws EPackError when nothing usable is left.
std::string DebianPackageName(std::string_view id);

// Throws EPackError when `version` is not a Debian version (it must start
// with a digit and hold only letters, digits and ".+~-"); `origin` names
// where it came from.
void CheckDebianVersion(std::string_view version, std::string_view origin);

// Writes `<output>.desktop` for the packed app `output` and, when the app has
// an icon, `<output>.png` beside it. `icon_png` as TPackResult::icon_png.
// Throws EPackError; files it wrote before failing are removed.
void WriteDesktopFiles(const std::string& output, const TSettings& settings,
                       const std::vector<uint8_t>& icon_png);

struct TDebianPackage {
  std::string app_dir;
  std::string output;  // the .deb to write
  std::string runtime;
  std::string icon;  // empty: the app's [Package] Icon
  bool engine_module = true;
  // From --version-info, winning over the app's [Package] section.
  std::string product_version;
  std::string company_name;
};

// Packs the app for a Linux runtime and builds a Debian package of it with
// dpkg-deb: the app in /opt/<id>/, a launcher in /usr/bin/<package>, the
// desktop entry and the icons in the hicolor theme. Returns the pack's
// warnings. Throws EPackError; `output` is then left as it was.
std::vector<std::string> BuildDebianPackage(const TDebianPackage& package);

}  // namespace tessel::shared
