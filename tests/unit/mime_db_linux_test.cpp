#include "platform/gtk/mime_db_linux.h"

#include <gtest/gtest.h>

#include <fstream>

#include "shared/mime_table.h"

namespace tessel::platform {

bool operator==(const MimeMapping& a, const MimeMapping& b) {
  return a.extension == b.extension && a.mime_type == b.mime_type;
}

void PrintTo(const MimeMapping& m, std::ostream* os) { *os << m.extension << "=" << m.mime_type; }

namespace {

using Mappings = std::vector<MimeMapping>;

TEST(ParseMimeTypes, OneMappingPerExtensionInFileOrder) {
  const std::string text =
      "# comment with type/x ext\n"
      "\n"
      "application/1d-interleaved-parityfec\n"
      "application/A2L\t\t\t\t\ta2l\r\n"
      "text/html\t\t\t\t\thtml htm shtml # trailing comment\n"
      "   text/plain  txt\n"
      "image/png png#notacomment\n"
      "text/x-later html";  // no final line break
  const Mappings expected = {
      {"a2l", "application/A2L"}, {"html", "text/html"}, {"htm", "text/html"},
      {"shtml", "text/html"},     {"txt", "text/plain"}, {"png#notacomment", "image/png"},
      {"html", "text/x-later"},
  };
  EXPECT_EQ(ParseMimeTypes(text), expected);
}

TEST(ParseMimeGlobs2, HighestWeightWinsAmongSimpleGlobs) {
  const std::string text =
      "# This file was automatically generated\n"
      "50:application/xhtml+xml:*.html\n"
      "80:text/html:*.html\n"  // heavier, though later
      "50:application/json:*.json\n"
      "50:application/schema+json:*.json\n"  // equal weight: the first stays
      "50:text/x-c++src:*.C:cs\n"            // capitals: a case-sensitive glob
      "50:text/x-c++src:*.C\n"               // ... and its copy for older readers
      "50:text/x-csrc:*.c:cs\n"
      "50:application/x-compressed-tar:*.tar.gz\n"
      "60:application/x-sharedlib:*.so.[0-9]*\n"
      "50:application/x-core:core:cs\n"
      "50:text/x-readme:README*\n"
      "50:__NOGLOBS__:*.old\n"
      "5x:bad/weight:*.bad\n"
      "no colons at all\n"
      "50::*.empty\n"
      "40:image/png:*.PNG\n"
      "40:image/png:*.png\n";
  const Mappings expected = {
      {"html", "text/html"},
      {"json", "application/json"},
      {"c", "text/x-csrc"},
      {"png", "image/png"},
  };
  EXPECT_EQ(ParseMimeGlobs2(text), expected);
}

TEST(ParseMimeGlobs, FirstTypeOfAnExtensionWins) {
  const std::string text =
      "# comment\n"
      "text/html:*.html\n"
      "application/xhtml+xml:*.html\n"
      "text/x-c++src:*.C\n"
      "text/x-csrc:*.c\n"
      "application/x-compressed-tar:*.tar.gz\n"
      "broken line\n";
  const Mappings expected = {{"html", "text/html"}, {"c", "text/x-csrc"}};
  EXPECT_EQ(ParseMimeGlobs(text), expected);
}

bool Readable(const char* path) { return std::ifstream(path).good(); }

// The machine's own files, when installed: the system database wins over the
// built-in list, the shared MIME info over mime.types.
TEST(LinuxMimeDatabase, SystemTypesOverrideTheBuiltInList) {
  if (!Readable("/etc/mime.types") || !Readable("/usr/share/mime/globs2")) {
    GTEST_SKIP() << "media-types or shared-mime-info is not installed";
  }
  const auto os = MakeNativeOs();
  EXPECT_FALSE(os->MimeTypesByExtension().empty());
  EXPECT_FALSE(os->ExtensionsByMimeType().empty());
  const shared::TMimeTable table = shared::TMimeTable::Build(*os);
  EXPECT_EQ(table.TypeOfFile("index.html"), "text/html");
  EXPECT_EQ(table.TypeOfFile("logo.png"), "image/png");
  EXPECT_EQ(table.TypeOfFile("data.json"), "application/json");
  EXPECT_EQ(table.TypeOfFile("main.c"), "text/x-csrc");
  EXPECT_EQ(table.TypeOfFile("unknown.no-such-extension"), "application/octet-stream");
}

}  // namespace
}  // namespace tessel::platform
