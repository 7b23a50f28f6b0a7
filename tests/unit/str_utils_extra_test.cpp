// The further text helpers of TStrUtils: quoting, random names, the cache
// folder rule, URL arguments, searching, variants, numbers and prefixes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "platform/fake/fake_os.h"
#include "shared/str_utils.h"

namespace tessel::shared {
namespace {

using platform::FakeOs;
using platform::OsFamily;
using platform::ScopedOs;

struct TextCase {
  std::string input;
  std::string expected;
};

TEST(GetJavascriptArrayFromMultilineString, QuotesEachNonEmptyLineTrimmed) {
  const TextCase cases[] = {
      // The second line holds the carriage return, so it is kept and trims to "".
      {"a\r\n\r\n b \r\n", R"("a", "", "b")"},
      {"", ""},
      {"\n\n", ""},
      {"   ", R"("")"},  // blanks only: not skipped
      {"one", R"("one")"},
      {"it's \"x\"\n\tz\t", R"("it\x27s \x22x\x22", "z")"},
      {"a\\b\n", R"("a\b")"},  // backslashes are not touched
      {"\xC3\xA9t\xC3\xA9\n", "\"\xC3\xA9t\xC3\xA9\""},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(TStrUtils::GetJavascriptArrayFromMultilineString(c.input), c.expected) << c.input;
  }
}

TEST(QuoteJavascript, ReplacesOnlyApostrophesAndQuotationMarks) {
  const TextCase cases[] = {
      {"", ""},
      {"'", R"(\x27)"},
      {"\"", R"(\x22)"},
      {R"(a'b"c\d:e|f)", R"(a\x27b\x22c\d:e|f)"},
      {"''\"\"", R"(\x27\x27\x22\x22)"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(TStrUtils::QuoteJavascript(c.input), c.expected) << c.input;
    EXPECT_EQ(TStrUtils::UnquoteJavascript(c.expected), c.input) << c.expected;
  }
  // Case matters: an upper-case escape is not one.
  EXPECT_EQ(TStrUtils::UnquoteJavascript(R"(\X27\x2A)"), R"(\X27\x2A)");
}

TEST(QuoteArguments, AlsoReplacesColonsAndBars) {
  EXPECT_EQ(TStrUtils::QuoteArguments("it's a:b|c\"d"), R"(it\x27s a\x3ab\x7cc\x22d)");
  EXPECT_EQ(TStrUtils::UnquoteArguments(R"(it\x27s a\x3ab\x7cc\x22d)"), "it's a:b|c\"d");
  // A text already holding an escape does not survive the round trip.
  EXPECT_EQ(TStrUtils::UnquoteArguments(TStrUtils::QuoteArguments(R"(\x27)")), "'");
  EXPECT_EQ(TStrUtils::UnquoteArguments(R"(\x3A\x7C)"), R"(\x3A\x7C)");
}

// Random texts of the characters that matter, control bytes and the UTF-8
// forms of lone surrogates (which the helpers pass through byte for byte).
TEST(QuoteArguments, UnquotingAQuotedTextIsUnquotingTheText) {
  const std::string pieces[] = {"'",
                                "\"",
                                ":",
                                "|",
                                "\\",
                                "x",
                                "2",
                                "7",
                                "a",
                                "3",
                                "c",
                                "\n",
                                "\r",
                                "\t",
                                "\x01",
                                "\x7F",
                                " ",
                                "\xC3\xA9",
                                "\xED\xA0\x80",
                                "\xED\xBF\xBF",
                                "\xF0\x9F\x98\x80"};
  std::mt19937 rng(13);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int length = static_cast<int>(rng() % 16);
    for (int k = 0; k < length; ++k) text += pieces[rng() % std::size(pieces)];

    const std::string quoted_js = TStrUtils::QuoteJavascript(text);
    EXPECT_EQ(quoted_js.find_first_of("'\""), std::string::npos) << quoted_js;
    EXPECT_EQ(TStrUtils::UnquoteJavascript(quoted_js), TStrUtils::UnquoteJavascript(text));

    const std::string quoted = TStrUtils::QuoteArguments(text);
    EXPECT_EQ(quoted.find_first_of("'\":|"), std::string::npos) << quoted;
    EXPECT_EQ(TStrUtils::UnquoteArguments(quoted), TStrUtils::UnquoteArguments(text));
    // Without an escape of its own a text comes back exactly.
    if (text.find("\\x") == std::string::npos) {
      EXPECT_EQ(TStrUtils::UnquoteArguments(quoted), text);
      EXPECT_EQ(TStrUtils::UnquoteJavascript(quoted_js), text);
    }
  }
}

TEST(GetRandomString, DrawsTheAskedNumberOfCharactersFromTheSequence) {
  EXPECT_EQ(TStrUtils::GetRandomString(0, "ab"), "");
  EXPECT_EQ(TStrUtils::GetRandomString(-5, "ab"), "");
  EXPECT_EQ(TStrUtils::GetRandomString(5, ""), "");
  EXPECT_EQ(TStrUtils::GetRandomString(4, "z"), "zzzz");

  const std::string drawn = TStrUtils::GetRandomString(2000, "abc");
  ASSERT_EQ(drawn.size(), 2000u);
  EXPECT_EQ(std::set<char>(drawn.begin(), drawn.end()), (std::set<char>{'a', 'b', 'c'}));

  // A supplementary character is drawn whole, never half of it.
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::string mixed = TStrUtils::GetRandomString(50, emoji + "e");
  std::size_t count = 0;
  for (std::size_t i = 0; i < mixed.size(); ++count) {
    if (mixed[i] == 'e') {
      ++i;
    } else {
      ASSERT_EQ(mixed.compare(i, 4, emoji), 0) << i;
      i += 4;
    }
  }
  EXPECT_EQ(count, 50u);
}

TEST(GetControlRandomSuffix, AppendsAHyphenAndTenCharactersOfTheAlphabet) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string name = TStrUtils::GetControlRandomSuffix("Button");
    ASSERT_EQ(name.size(), 6u + 1 + 10) << name;
    EXPECT_EQ(name.substr(0, 7), "Button-");
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", 7), std::string::npos)
        << name;
    seen.insert(name);
  }
  EXPECT_GT(seen.size(), 45u);  // 36^10 names: repeats would mean no randomness
  EXPECT_EQ(TStrUtils::GetControlRandomSuffix("").size(), 11u);
}

// --- GetCompilerCacheDir -------------------------------------------------------

class GetCompilerCacheDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessel-cache-dir-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  FakeOs os_;
  ScopedOs scoped_{os_};
};

TEST_F(GetCompilerCacheDirTest, WindowsRules) {
  os_.family = OsFamily::Windows;
  os_.path_separator = '\\';
  struct Case {
    std::string app, suffix, temp, def, expected;
  };
  const Case cases[] = {
      {"", "_c", "Temp", "D:\\cache", "D:\\cache\\Temp\\"},
      {"", "_c", "Temp\\", "D:\\cache\\", "D:\\cache\\Temp\\"},  // no doubled backslash
      {"Z:\\no\\such\\dir\\app.exe", "_c", "T", "D:\\d", "D:\\d\\app_c\\"},
      {"Z:\\no\\such\\dir\\my.app.exe", "", "T", "D:\\d", "D:\\d\\my.app\\"},
      {"Z:\\no\\such\\dir\\noext", "-x", "T", "D:\\d", "D:\\d\\noext-x\\"},
      {"app.exe", "_c", "T", "D:\\d", "D:\\d\\app_c\\"},  // no folder part
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TStrUtils::GetCompilerCacheDir(c.app, c.suffix, c.temp, c.def), c.expected) << c.app;
  }
}

TEST_F(GetCompilerCacheDirTest, AnExistingFolderOfTheAppIsTheBase) {
  const char sep = platform::MakeNativeOs()->PathSeparator();
  os_.path_separator = sep;
  os_.family = sep == '\\' ? OsFamily::Windows : OsFamily::Posix;
  const std::string folder = dir_.string() + sep;
  EXPECT_EQ(TStrUtils::GetCompilerCacheDir(folder + "tool.js", ".cache", "T", "/elsewhere"),
            folder + "tool.cache" + sep);
  // Folder gone: the default folder instead.
  const std::string gone = folder + "gone" + sep;
  EXPECT_EQ(TStrUtils::GetCompilerCacheDir(gone + "tool.js", "", "T", "base"),
            std::string("base") + sep + "tool" + sep);
}

TEST_F(GetCompilerCacheDirTest, PosixTreatsBackslashAsPartOfTheName) {
  EXPECT_EQ(TStrUtils::GetCompilerCacheDir("/no/such/a\\b.c", "", "T", "/d"), "/d/a\\b/");
  EXPECT_EQ(TStrUtils::GetCompilerCacheDir("", "", "T/", "/d/"), "/d/T/");
}

// --- GetUrlArguments -------------------------------------------------------------

TEST(GetUrlArguments, SplitsTheQueryAndDecodesEachPiece) {
  struct Case {
    std::string url;
    TArrayStrings expected;
  };
  const Case cases[] = {
      {"http://h/p?a=1&b=2", {"a=1", "b=2"}},
      {"http://h/p?a=1&b=2#frag&c=3", {"a=1", "b=2"}},
      {"http://h/p#frag?x=1", {"x=1"}},  // only a "#" after the "?" ends the query
      {"http://h/p", {}},
      {"http://h/p?", {}},
      {"http://h/p?#x", {}},
      {"?a&&b&", {"a", "", "b", ""}},
      {"?q=a+b%20c&r=%2B", {"q=a b c", "r=+"}},  // '+' first, so %2B stays a plus
      {"?a b=c d", {"a b=c d"}},                 // blanks do not separate
      {"?x=%C3%A9%e2%82%ac", {"x=\xC3\xA9\xE2\x82\xAC"}},
      {"?x=%26&y=%3D%3d", {"x=&", "y==="}},
      {"?x=1?y=2", {"x=1?y=2"}},
      // Malformed escapes stay; bytes that are no UTF-8 become U+FFFD.
      {"?a=%&b=%4&c=%zz&d=%4g", {"a=%", "b=%4", "c=%zz", "d=%4g"}},
      {"?a=%FF&b=%C3", {"a=\xEF\xBF\xBD", "b=\xEF\xBF\xBD"}},
      {"?a=%00b", {std::string("a=\0b", 4)}},
  };
  for (const Case& c : cases) {
    TArrayStrings args{"stale"};
    TStrUtils::GetUrlArguments(c.url, args);
    EXPECT_EQ(args, c.expected) << c.url;
  }
}

// --- SubStringExists -------------------------------------------------------------

TEST(SubStringExists, FollowsTheSearchFlags) {
  struct Case {
    std::string text;
    std::string sub;
    TStringSearchOptions options;
    bool expected;
  };
  const Case cases[] = {
      {"Hello World", "world", soDown, true},
      {"Hello World", "world", soDown | soMatchCase, false},
      {"Hello World", "World", soDown | soMatchCase, true},
      {"Hello World", "World", soMatchCase, false},  // without soDown nothing is found
      {"Hello World", "Hello", 0, false},
      {"Hello World", "", soDown, false},
      {"", "a", soDown, false},
      {"Hello World", "lo W", soDown, true},
      {"Hello World", "Wor", soDown | soWholeWord, false},
      {"Hello World", "world", soDown | soWholeWord, true},
      {"Hello, World!", "hello", soDown | soWholeWord, true},
      {"catalog cat", "cat", soDown | soWholeWord, true},  // a later whole occurrence
      {"catalog bobcat", "cat", soDown | soWholeWord, false},
      {"a_cat b", "cat", soDown | soWholeWord, false},  // '_' joins words
      {"x1cat", "cat", soDown | soWholeWord, false},
      {"(cat)", "cat", soDown | soWholeWord, true},
      {"\xC3\xA9"
       "cat",
       "cat", soDown | soWholeWord, false},  // é is a letter
      {"STRASSE \xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", soDown, true},
      {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", soDown | soMatchCase, false},
      {"\xD0\x96\xD0\x96", "\xD0\xB6", soDown | soWholeWord, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TStrUtils::SubStringExists(c.text, c.sub, c.options), c.expected)
        << "'" << c.text << "' '" << c.sub << "' " << c.options;
  }
}

// --- OleVarToStr -------------------------------------------------------------------

TEST(OleVarToStr, GivesTextFormsOfScalarsAndEmptyForTheRest) {
  struct Case {
    OleVariant value;
    std::string expected;
  };
  const Case cases[] = {
      {OleVariant{}, ""},
      {OleNull{}, ""},
      {OleObject{}, ""},
      {std::string("text \xC3\xA9"), "text \xC3\xA9"},
      {true, "True"},
      {false, "False"},
      {std::int8_t{-128}, "-128"},
      {std::uint8_t{255}, "255"},
      {std::int16_t{-32768}, "-32768"},
      {std::uint16_t{65535}, "65535"},
      {std::int32_t{-7}, "-7"},
      {std::uint32_t{4294967295U}, "4294967295"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {-2.0, "-2"},
      {1e21, "1e+21"},
      {0.5F, "0.5"},
      {OleCurrency{15000}, "1.5"},
      {OleCurrency{-1}, "-0.0001"},
      {OleCurrency{20000}, "2"},
      {OleCurrency{std::numeric_limits<std::int64_t>::min()}, "-922337203685477.5808"},
      {OleDate{0}, "1899-12-30"},
      {OleDate{2.5}, "1900-01-01 12:00:00"},
      {OleDate{45000.75}, "2023-03-15 18:00:00"},
      {OleDate{-1.25}, "1899-12-29 06:00:00"},  // the day counts back, the time forward
      {OleDate{1e300}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TStrUtils::OleVarToStr(c.value), c.expected) << c.expected;
  }
}

// --- numbers, repetition, capitals, prefixes -----------------------------------------

TEST(AddLeadingZeroes, PadsToThePrecisionAfterTheSign) {
  struct Case {
    std::int32_t number;
    std::int32_t length;
    std::string expected;
  };
  const Case cases[] = {
      {7, 3, "007"},
      {1234, 2, "1234"},
      {-7, 3, "-007"},
      {0, 0, "0"},
      {0, 4, "0000"},
      {5, -3, "5"},
      {std::numeric_limits<std::int32_t>::min(), 12, "-002147483648"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TStrUtils::AddLeadingZeroes(c.number, c.length), c.expected) << c.expected;
  }
}

TEST(StrToResolution, TakesTheFirstLowerCaseMatchAnywhere) {
  struct Case {
    std::string value;
    std::int32_t width;
    std::int32_t height;
  };
  const Case cases[] = {
      {"1920x1080", 1920, 1080},
      {"1920X1080", -1, -1},
      {"", -1, -1},
      {"screen 800x600 then 1024x768", 800, 600},
      {"12 34x56", 34, 56},
      {"x1 2x", -1, -1},
      {"1x2x3", 1, 2},
      {"0007x08", 7, 8},
      {"ab1920x1080px", 1920, 1080},
      {"1920 x 1080", -1, -1},
      {"2147483647x0", 2147483647, 0},
  };
  for (const Case& c : cases) {
    std::int32_t w = 99;
    std::int32_t h = 99;
    TStrUtils::StrToResolution(c.value, w, h);
    EXPECT_EQ(w, c.width) << c.value;
    EXPECT_EQ(h, c.height) << c.value;
  }
}

TEST(StrToResolution, ANumberBeyond32BitsIsAConversionError) {
  const std::pair<std::string, std::string> cases[] = {
      {"2147483648x1", "'2147483648' is not a valid integer value"},
      {"1x99999999999999999999", "'99999999999999999999' is not a valid integer value"},
  };
  for (const auto& [value, message] : cases) {
    std::int32_t w = 5;
    std::int32_t h = 5;
    try {
      TStrUtils::StrToResolution(value, w, h);
      ADD_FAILURE() << value;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(w, -1) << value;
    EXPECT_EQ(h, -1) << value;
  }
}

TEST(RepeatString, RepeatsTheText) {
  EXPECT_EQ(TStrUtils::RepeatString("ab", 3), "ababab");
  EXPECT_EQ(TStrUtils::RepeatString("ab", 0), "");
  EXPECT_EQ(TStrUtils::RepeatString("", 1000), "");
  EXPECT_EQ(TStrUtils::RepeatString("\xC3\xA9", 2), "\xC3\xA9\xC3\xA9");
}

TEST(Capitalize, UpperCasesAnAsciiLetterAtTheStartOnly) {
  const TextCase cases[] = {
      {"", ""},         {"abc", "Abc"}, {"Abc", "Abc"}, {"1abc", "1abc"},
      {" abc", " abc"}, {"z", "Z"},     {"{", "{"},     {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(TStrUtils::Capitalize(c.input), c.expected);
}

TEST(FilePathPrefixes, MatchWithoutRegardToCase) {
  struct Case {
    std::string path;
    bool http;
    bool app;
    bool plugin;
  };
  const Case cases[] = {
      {"http://x", true, false, false},
      {"HTTPS://x", true, false, false},
      {"https:/x", false, false, false},
      {"ftp://x", false, false, false},
      {"http:", false, false, false},
      {"app/files/a.txt", false, true, false},
      {"APP/Files/", false, true, false},
      {"app\\files\\a.txt", false, false, false},  // only forward slashes
      {"app/files", false, false, false},
      {"app/plugins/p.js", false, false, true},
      {"App/Plugins/", false, false, true},
      {"/app/plugins/p.js", false, false, false},
      {"", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TStrUtils::FilePathIsHttpUrl(c.path), c.http) << c.path;
    EXPECT_EQ(TStrUtils::FilePathIsAppRelative(c.path), c.app) << c.path;
    EXPECT_EQ(TStrUtils::FilePathIsPluginRelative(c.path), c.plugin) << c.path;
  }
}

}  // namespace
}  // namespace tessel::shared
