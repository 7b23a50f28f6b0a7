// The embedded bridge script: the resource file's bytes, unchanged. What the
// script does is tested by bridge_script_test.js, run with node.
#include "shared/bridge_script.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace tessel::shared {
namespace {

TEST(BridgeScript, IsTheResourceFileByteForByte) {
  std::ifstream in(TESSEL_BRIDGE_SCRIPT_FILE, std::ios::binary);
  ASSERT_TRUE(in) << TESSEL_BRIDGE_SCRIPT_FILE;
  const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(BridgeScript(), file);
}

TEST(BridgeScript, IsUtf8WithMarkAndCrLfLines) {
  const std::string_view script = BridgeScript();
  ASSERT_GE(script.size(), 3u);
  EXPECT_EQ(script.substr(0, 3), "\xEF\xBB\xBF");
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (script[i] == '\n') {
      ASSERT_TRUE(i > 0 && script[i - 1] == '\r') << "bare LF at " << i;
    }
    if (script[i] == '\r') {
      ASSERT_TRUE(i + 1 < script.size() && script[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  EXPECT_NE(script.find("window.vtx = {"), std::string_view::npos);
}

}  // namespace
}  // namespace tessel::shared
