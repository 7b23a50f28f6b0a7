#include "shared/str_utils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/fake/fake_os.h"
#include "shared/mime_table.h"
#include "shared/utf.h"

namespace tessel::shared {
namespace {

using platform::FakeOs;
using platform::MimeMapping;
using platform::ScopedOs;

// --- StringToJsonString ------------------------------------------------------

struct JsonCase {
  std::string input;
  std::string expected;
};

TEST(StringToJsonString, EscapesEachCodeUnitByTheTable) {
  const JsonCase cases[] = {
      {"", R"("")"},
      {"\"\\/\n", R"("\"\\\/\n")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"\x01\x1F\x0B", R"("\u0001\u001F\u000B")"},
      {" ~\x7F", "\" ~\x7F\""},
      {"plain text 123 <>&'", R"("plain text 123 <>&'")"},
      {"\xC2\x80", R"("\u0080")"},
      {"\xC3\xA9", R"("\u00E9")"},      // é
      {"\xE2\x82\xAC", R"("\u20AC")"},  // €
      {"\xEA\xAF\x8D", R"("\uABCD")"},  // upper-case hex
      {"\xEF\xBF\xBF", R"("\uFFFF")"},
      {"\xF0\x9F\x98\x80", R"("\uD83D\uDE00")"},  // U+1F600, one escape per surrogate
      {"\xF4\x8F\xBF\xBF", R"("\uDBFF\uDFFF")"},  // U+10FFFF
      {"C:\\dir/file", R"("C:\\dir\/file")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TStrUtils::StringToJsonString(c.input), c.expected) << c.expected;
  }
}

TEST(StringToJsonString, EncodesEachInvalidByteAsReplacementCharacter) {
  const JsonCase cases[] = {
      {"\xFF", R"("\uFFFD")"},
      {"a\xC3", R"("a\uFFFD")"},                              // truncated sequence
      {"\xC0\xAF", R"("\uFFFD\uFFFD")"},                      // overlong "/"
      {"\xED\xA0\x80", R"("\uFFFD\uFFFD\uFFFD")"},            // encoded surrogate
      {"\xF4\x90\x80\x80", R"("\uFFFD\uFFFD\uFFFD\uFFFD")"},  // above U+10FFFF
      {"\x80x\xE2\x82", R"("\uFFFDx\uFFFD\uFFFD")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TStrUtils::StringToJsonString(c.input), c.expected) << c.expected;
  }
}

// Reads a literal as JSON does, to check that the encoder loses nothing.
std::string DecodeJsonLiteral(const std::string& literal) {
  std::u16string units;
  for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
    if (literal[i] != '\\') {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(literal[i])));
      continue;
    }
    const char e = literal[++i];
    switch (e) {
      case 'b':
        units.push_back(u'\b');
        break;
      case 't':
        units.push_back(u'\t');
        break;
      case 'n':
        units.push_back(u'\n');
        break;
      case 'f':
        units.push_back(u'\f');
        break;
      case 'r':
        units.push_back(u'\r');
        break;
      case 'u':
        units.push_back(static_cast<char16_t>(std::stoi(literal.substr(i + 1, 4), nullptr, 16)));
        i += 4;
        break;
      default:
        units.push_back(static_cast<char16_t>(e));
    }
  }
  return utf::Utf16ToUtf8(units);
}

TEST(StringToJsonString, RoundTripsRandomTextAsPureAscii) {
  std::mt19937 rng(7);
  const char32_t edges[] = {0x00,  0x1F,  0x20,   0x22,   0x2F,   0x5C,   0x7E,    0x7F,    0x80,
                            0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF};
  for (int round = 0; round < 500; ++round) {
    std::string text;
    const int length = static_cast<int>(rng() % 12);
    for (int k = 0; k < length; ++k) {
      char32_t cp = (rng() % 2) ? edges[rng() % std::size(edges)] : rng() % 0x110000;
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 'x';
      utf::AppendUtf8(text, cp);
    }
    const std::string literal = TStrUtils::StringToJsonString(text);
    ASSERT_GE(literal.size(), 2u);
    EXPECT_EQ(literal.front(), '"');
    EXPECT_EQ(literal.back(), '"');
    for (const char c : literal) ASSERT_LT(static_cast<unsigned char>(c), 0x80) << literal;
    EXPECT_EQ(DecodeJsonLiteral(literal), text) << literal;
  }
}

// --- ExplodeStrings / ImplodeStrings ----------------------------------------

struct SplitCase {
  std::string separator;
  std::string value;
  TArrayStrings items;
};

const SplitCase kSplitCases[] = {
    {",", "", {""}},
    {",", "a,,b,", {"a", "", "b", ""}},
    {",", "a,", {"a", ""}},
    {",", ",", {"", ""}},
    {",", "a, b ,c", {"a", " b ", "c"}},  // no trimming
    {"", "a,b", {"a,b"}},                 // an empty separator never occurs
    {"--", "a---b", {"a", "-b"}},         // matched whole, no overlap
    {"ab", "abab", {"", "", ""}},
    {"X", "axb", {"axb"}},  // case-sensitive
    {"|",
     "Text files (*.txt)|*.txt|All files|*.*",
     {"Text files (*.txt)", "*.txt", "All files", "*.*"}},
    {"\xC3\xA9",
     "a\xC3\xA9"
     "b\xC3\xA9",
     {"a", "b", ""}},
};

TEST(ExplodeStrings, GivesEveryPieceInOrder) {
  for (const auto& c : kSplitCases) {
    EXPECT_EQ(TStrUtils::ExplodeStrings(c.separator, c.value), c.items)
        << "'" << c.separator << "' '" << c.value << "'";
  }
}

TEST(ImplodeStrings, JoinsItemsAndUndoesExplode) {
  EXPECT_EQ(TStrUtils::ImplodeStrings(",", {}), "");
  EXPECT_EQ(TStrUtils::ImplodeStrings(",", {"", ""}), ",");
  EXPECT_EQ(TStrUtils::ImplodeStrings(", ", {"a", "b", "c"}), "a, b, c");
  EXPECT_EQ(TStrUtils::ImplodeStrings("", {"a", "b"}), "ab");
  EXPECT_EQ(TStrUtils::ImplodeStrings("--", {"only"}), "only");
  for (const auto& c : kSplitCases) {
    if (c.separator.empty()) continue;
    EXPECT_EQ(TStrUtils::ImplodeStrings(c.separator, c.items), c.value);
  }
}

// --- MIME table: the built-in data ------------------------------------------

TEST(BuiltInMimeLines, Has384LinesOf372LowerCaseExtensions) {
  const auto lines = BuiltInMimeLines();
  ASSERT_EQ(lines.size(), 384u);
  std::set<std::string_view> distinct;
  int with_capitals = 0;
  for (const TMimeLine& line : lines) {
    distinct.insert(line.extension);
    ASSERT_GE(line.extension.size(), 2u);
    EXPECT_EQ(line.extension.front(), '.');
    EXPECT_EQ(utf::LowerCase(line.extension), line.extension);
    EXPECT_FALSE(line.mime_type.empty());
    if (line.extension != ".shtml") {  // the one historical type without a "/"
      EXPECT_NE(line.mime_type.find('/'), std::string_view::npos) << line.extension;
    }
    if (utf::LowerCase(line.mime_type) != line.mime_type) ++with_capitals;
  }
  EXPECT_EQ(distinct.size(), 372u);
  EXPECT_EQ(with_capitals, 1);  // .mjf
}

TEST(BuiltInMimeLines, RepeatedExtensionsKeepTheirTwoTypesInOrder) {
  struct Repeat {
    std::string_view extension, first, second;
  };
  const Repeat repeats[] = {
      {".m3u", "audio/mpegurl", "audio/x-mpegurl"},
      {".mp2", "audio/x-mpg", "video/mpeg"},
      {".mp3", "audio/x-mpg", "video/mpeg"},
      {".rm", "audio/x-pn-realaudio", "application/vnd.rn-realmedia"},
      {".cpt", "image/x-corelphotopaint", "application/mac-compactpro"},
      {".wbmp", "image/vnd.wap.wbmp", "image/vnd.wap.wbmp"},
      {".xbm", "image/xbm", "image/x-xbitmap"},
      {".xml", "text/xml", "text/xml"},
      {".asf", "video/x-ms-asf", "application/vnd.ms-asf"},
      {".asx", "video/x-ms-asf", "video/x-ms-asf-plugin"},
      {".rdf", "application/rdf+xml", "application/rdf+xml"},
      {".rss", "application/rss+xml", "application/rss+xml"},
  };
  for (const Repeat& r : repeats) {
    std::vector<std::string_view> types;
    for (const TMimeLine& line : BuiltInMimeLines()) {
      if (line.extension == r.extension) types.push_back(line.mime_type);
    }
    EXPECT_EQ(types, (std::vector<std::string_view>{r.first, r.second})) << r.extension;
  }
}

// --- MIME table: building and looking up ------------------------------------

struct TypeCase {
  std::string file_name;
  std::string expected;
};

TEST(MimeExtensionOf, TakesTheLastDotAfterTheLastBackslashOrColon) {
  const TypeCase cases[] = {
      {"index.html", ".html"},
      {"C:\\site\\index.html", ".html"},
      {"site.old/readme", ".old/readme"},  // "/" does not end the search
      {"css/site.min.css", ".css"},
      {"readme", ""},
      {"file.", "."},
      {".htaccess", ".htaccess"},
      {"C:\\a.b\\file", ""},
      {"C:file", ""},
      {"c:.txt", ".txt"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MimeExtensionOf(c.file_name), c.expected) << c.file_name;
}

TEST(MimeTable, BuiltInTypesWhenTheSystemKnowsNothing) {
  const FakeOs os;
  const TMimeTable table = TMimeTable::Build(os);
  EXPECT_EQ(table.Entries().size(), 372u);
  const TypeCase cases[] = {
      {"index.html", "text/html"},
      {"index.HTML", "text/html"},
      {"C:\\site\\index.html", "text/html"},
      {"logo.png", "image/x-png"},
      {"readme", "application/octet-stream"},
      {"file.", "application/octet-stream"},
      {"data.json", "application/octet-stream"},
      {"site.old/readme", "application/octet-stream"},
      {".htaccess", "application/octet-stream"},
      {".html", "text/html"},  // a name that is its own extension
      {"song.mp3", "audio/x-mpg"},
      {"a.xbm", "image/xbm"},
      {"a.cpt", "image/x-corelphotopaint"},
      {"a.rm", "audio/x-pn-realaudio"},
      {"a.asx", "video/x-ms-asf"},
      {"a.m3u", "audio/mpegurl"},
      {"a.mjf", "audio/x-vnd.audioexplosion.mjuicemediafile"},
      {"app.js", "text/javascript"},
      {"style.CSS", "text/css"},
      {"page.xhtml", "application/xhtml+xml"},
      {"x.xsd", "application/vnd.sun.xml.draw"},
      {"x.mpeg", "video/x-mpeg2a"},
      {"x.mp4", "video/mpeg"},
      {"x.c++", "text/x-c++src"},
      {"x.7z", "application/x-7z-compressed"},
      {"x.shtml", "server-parsed-html"},
      {"x.woff2", "application/octet-stream"},
  };
  for (const auto& c : cases) EXPECT_EQ(table.TypeOfFile(c.file_name), c.expected) << c.file_name;
}

TEST(MimeTable, SystemPassesOverrideInPrecedenceOrder) {
  FakeOs os;
  os.mime_types_by_extension = {
      {".PNG", "Image/PNG"},                    // lower-cased
      {"json", "application/x-first"},          // no dot: gets one, appended
      {".mp3", "audio/mpeg"},                   // replaces the first of two lines
      {".css", ""},                             // empty: ignored
      {"", "x/empty-extension"},                // ignored
      {".", "x/bare-dot"},                      // ignored: "file." has no extension
      {".evil", "text/html\r\nX-Injected: 1"},  // control characters: ignored
      {".txt", "text/first"},
  };
  os.extensions_by_mime_type = {
      {"json", "application/json"},  // second pass wins over the first
      {".woff2", "font/x-early"},
      {"WOFF2", "font/woff2"},  // a later entry wins
      {"txt", "text/plain"},
  };
  const TMimeTable table = TMimeTable::Build(os);
  const TypeCase cases[] = {
      {"LOGO.PNG", "image/png"},
      {"data.json", "application/json"},
      {"song.mp3", "audio/mpeg"},
      {"site.css", "text/css"},
      {"file.", "application/octet-stream"},
      {"x.evil", "application/octet-stream"},
      {"font.woff2", "font/woff2"},
      {"a.txt", "text/plain"},
      {"index.html", "text/html"},
  };
  for (const auto& c : cases) EXPECT_EQ(table.TypeOfFile(c.file_name), c.expected) << c.file_name;

  // "Set" replaces a line in place and appends new extensions at the end.
  const TMimeTable builtin = TMimeTable::Build(FakeOs{});
  const auto position = [](const TMimeTable& t, std::string_view ext) {
    for (std::size_t i = 0; i < t.Entries().size(); ++i) {
      if (t.Entries()[i].extension == ext) return i;
    }
    return t.Entries().size();
  };
  EXPECT_EQ(position(table, ".png"), position(builtin, ".png"));
  EXPECT_EQ(position(table, ".mp3"), position(builtin, ".mp3"));
  EXPECT_EQ(table.Entries().size(), 374u);
  EXPECT_EQ(table.Entries()[372].extension, ".json");
  EXPECT_EQ(table.Entries()[373].extension, ".woff2");
}

TEST(MimeTable, LowerCasesExtensionsBeyondAscii) {
  FakeOs os;
  os.mime_types_by_extension = {{".\xC3\xA4"
                                 "bc",
                                 "x/latin"},                        // .äbc
                                {".\xD0\xB6", "x/cyrillic"},        // .ж
                                {".\xCF\x83\xCF\x83", "x/greek"}};  // .σσ
  const TMimeTable table = TMimeTable::Build(os);
  EXPECT_EQ(table.TypeOfFile("a.\xC3\x84"
                             "BC"),
            "x/latin");                                          // .ÄBC
  EXPECT_EQ(table.TypeOfFile("a.\xD0\x96"), "x/cyrillic");       // .Ж
  EXPECT_EQ(table.TypeOfFile("a.\xCE\xA3\xCE\xA3"), "x/greek");  // .ΣΣ
}

// The OS seam reports a registry value of the wrong type.
class WrongTypeOs : public FakeOs {
 public:
  std::vector<MimeMapping> ExtensionsByMimeType() const override {
    throw std::runtime_error("Invalid data type for 'Extension'");
  }
};

// Counts how often the system database is read.
class CountingOs : public FakeOs {
 public:
  mutable std::atomic<int> reads{0};
  std::vector<MimeMapping> MimeTypesByExtension() const override {
    ++reads;
    return FakeOs::MimeTypesByExtension();
  }
};

TEST(MimeTable, WrongValueTypeReachesTheCaller) {
  const WrongTypeOs os;
  try {
    (void)TMimeTable::Build(os);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Extension'");
  }
}

// GetFileMIMEType goes through the process-wide table; each test installs its
// own seam and drops the table before and after.
class GetFileMIMETypeTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCachedMimeTable(); }
  void TearDown() override { ResetCachedMimeTable(); }
};

TEST_F(GetFileMIMETypeTest, ReadsTheSystemDatabaseOnceForManyLookups) {
  CountingOs os;
  os.mime_types_by_extension = {{".json", "application/json"}};
  const ScopedOs scoped(os);
  std::vector<std::thread> threads;
  threads.reserve(4);
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (TStrUtils::GetFileMIMEType("data.json") != "application/json") ++wrong;
        if (TStrUtils::GetFileMIMEType("C:\\site\\index.HTML") != "text/html") ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(os.reads, 1);
}

TEST_F(GetFileMIMETypeTest, ErrorPropagatesAndIsNotCached) {
  {
    WrongTypeOs os;
    const ScopedOs scoped(os);
    EXPECT_THROW(TStrUtils::GetFileMIMEType("index.html"), std::runtime_error);
  }
  FakeOs os;
  const ScopedOs scoped(os);
  EXPECT_EQ(TStrUtils::GetFileMIMEType("index.html"), "text/html");
}

// The platform's own database, whatever it holds, builds a well-formed table.
TEST(MimeTable, NativeDatabaseBuildsAWellFormedTable) {
  const auto native = platform::MakeNativeOs();
  const TMimeTable table = TMimeTable::Build(*native);
  ASSERT_GE(table.Entries().size(), 372u);
  std::set<std::string> seen;
  for (const TMimeEntry& e : table.Entries()) {
    ASSERT_GE(e.extension.size(), 2u);
    EXPECT_EQ(e.extension.front(), '.');
    EXPECT_EQ(utf::LowerCase(e.extension), e.extension);
    EXPECT_EQ(utf::LowerCase(e.mime_type), e.mime_type);
    EXPECT_FALSE(e.mime_type.empty());
    EXPECT_TRUE(seen.insert(e.extension).second) << e.extension;
  }
  EXPECT_EQ(table.TypeOfFile("no-extension"), "application/octet-stream");
}

}  // namespace
}  // namespace tessel::shared
