// Linux meanings of the further system helpers: links and .desktop entries.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/gtk/linux_os.h"
#include "platform/ui.h"
#include "shared/sys_utils.h"

// Last: Xlib's macros (None, Bool, Status) would clash with the headers above.
#include <X11/Xlib.h>

namespace tessel::platform {
namespace {

namespace fs = std::filesystem;

TEST(DesktopEntryTarget, LinksGiveTheirUrlAndApplicationsTheirProgram) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"[Desktop Entry]\nType=Link\nURL=https://example.org/a\n", "https://example.org/a"},
      {"[Desktop Entry]\nType=Link\nURL=file:///home/u/My%20Doc.txt\n", "/home/u/My Doc.txt"},
      {"[Desktop Entry]\nType=Link\nURL=file://localhost/etc/hosts\n", "/etc/hosts"},
      {"[Desktop Entry]\r\nType=Application\r\nExec=\"/opt/my app/run\" --flag %U\r\n",
       "/opt/my app/run"},
      {"[Desktop Entry]\nType = Application\nExec = gimp %f\n", "gimp"},
      {"[Desktop Entry]\nType=Directory\nURL=/x\n", ""},
      {"[Other]\nType=Link\nURL=/x\n", ""},  // only the entry's own group counts
      {"# comment\n[Desktop Entry]\nName=x\n", ""},
      {"", ""},
      {"\x7F"
       "ELF\x02\x01",
       ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DesktopEntryTarget(c.text), c.expected) << c.text;
  EXPECT_EQ(DesktopEntryValue("[Desktop Entry]\nName=a\\sb\\\\c\n", "Name"), "a b\\c");
}

TEST(ShellLinkTarget, SymbolicLinksAndEntriesOnDisk) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("tessel-links-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "target.txt") << "x";
  fs::create_symlink("target.txt", dir / "relative.lnk");
  fs::create_symlink(dir / "target.txt", dir / "absolute.lnk");
  fs::create_symlink("../target.txt", dir / "sub" / "up.lnk");
  fs::create_symlink("gone", dir / "dangling.lnk");
  std::ofstream(dir / "doc.desktop")
      << "[Desktop Entry]\nType=Link\nURL=file://" + (dir / "target.txt").string() + "\n";
  std::ofstream(dir / "plain.txt") << "[Desktop Entry]\nType=Link\nURL=/x\n";

  using shared::TSysUtils;
  const std::string target = (dir / "target.txt").string();
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "relative.lnk").string()), target);
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "absolute.lnk").string()), target);
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "sub" / "up.lnk").string()), target);
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "dangling.lnk").string()), (dir / "gone").string());
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "doc.desktop").string()), target);
  // Any file holding an entry counts, whatever its name.
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "plain.txt").string()), "/x");
  EXPECT_EQ(TSysUtils::GetLnkFilePath(target), "");
  EXPECT_EQ(TSysUtils::GetLnkFilePath((dir / "missing").string()), "");
  fs::remove_all(dir);
}

TEST(LinuxFolders, FollowTheXdgVariables) {
  LinuxOs os;
  const std::string saved_config = os.GetEnv("XDG_CONFIG_HOME");
  const std::string saved_dirs = os.GetEnv("XDG_DATA_DIRS");
  os.SetEnv("XDG_CONFIG_HOME", "/somewhere/config");
  EXPECT_EQ(os.SystemFolderPath(SystemFolder::RoamingAppData), "/somewhere/config");
  os.SetEnv("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(os.SystemFolderPath(SystemFolder::RoamingAppData), os.GetEnv("HOME") + "/.config");
  os.SetEnv("XDG_DATA_DIRS", "/no/such:/usr/share");
  const std::string apps = os.SystemFolderPath(SystemFolder::SystemApps);
  EXPECT_EQ(apps, "/usr/share/applications");
  EXPECT_EQ(os.SystemFolderPath(SystemFolder::System), "");
  EXPECT_EQ(os.SystemFolderPath(SystemFolder::ProgramFiles), "/opt");
  saved_config.empty() ? os.UnsetEnv("XDG_CONFIG_HOME")
                       : os.SetEnv("XDG_CONFIG_HOME", saved_config);
  saved_dirs.empty() ? os.UnsetEnv("XDG_DATA_DIRS") : os.SetEnv("XDG_DATA_DIRS", saved_dirs);
}

TEST(LinuxProcesses, AProgramNotWaitedForLeavesNoZombie) {
  LinuxOs os;
  ASSERT_TRUE(os.StartProcess("true", false));
  // The started program is not our child, so there is nothing to reap.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_FALSE(os.StartProcess("no-such-program-tessel", false));
}

// Runs under xvfb-run (see CMakeLists.txt); skipped without a display.
TEST(PressKey, APressAndReleaseOfCapsLockTogglesTheLock) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) GTEST_SKIP() << "no display";
  const auto locked = [&] {
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    int wx = 0;
    int wy = 0;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
    return (mask & LockMask) != 0;
  };
  const bool before = locked();
  ASSERT_TRUE(CurrentUi().PressKey(0x14));  // VK_CAPITAL
  XSync(display, False);
  EXPECT_NE(locked(), before);
  ASSERT_TRUE(CurrentUi().PressKey(0x14));
  XSync(display, False);
  EXPECT_EQ(locked(), before);
  EXPECT_FALSE(CurrentUi().PressKey(0x07));  // no such key
  XCloseDisplay(display);
}

}  // namespace
}  // namespace tessel::platform
