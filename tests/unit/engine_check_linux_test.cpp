// The engine check against the real WebKitGTK engine module: it loads where
// WebKitGTK is installed (as on the machines that build it) and reports its
// version; a library that is not an engine module does not count.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "shared/sys_utils.h"

namespace tessel::shared {
namespace {

namespace fs = std::filesystem;

TEST(EngineCheckLinuxTest, TheBuiltEngineModuleReportsAnEngine) {
  EXPECT_TRUE(TSysUtils::CheckEdgeIsInstalled(TESSEL_ENGINE_MODULE));
}

TEST(EngineCheckLinuxTest, FilesThatAreNoEngineModuleReportNone) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("tessel-engine-check-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir);
  std::ofstream(dir / "garbage.so") << "\x7f"
                                       "ELF but nothing more";
  std::ofstream(dir / "empty.so").close();
  fs::create_symlink(TESSEL_ENGINE_MODULE, dir / "link.so");
  fs::create_symlink(dir / "missing.so", dir / "dangling.so");
  struct Case {
    fs::path path;
    bool installed;
  };
  const Case cases[] = {
      {dir / "missing.so", false},
      {dir / "garbage.so", false},
      {dir / "empty.so", false},
      {dir / "dangling.so", false},
      {dir, false},
      // A library that loads but is not an engine module: libc.
      {"libc.so.6", false},
      // Links are followed.
      {dir / "link.so", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    EXPECT_EQ(TSysUtils::CheckEdgeIsInstalled(c.path.string()), c.installed);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tessel::shared
