#include "shared/settings.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/fake/fake_os.h"
#include "shared/utf.h"

namespace tessel::shared {
namespace {

using platform::FakeOs;
using platform::ScopedOs;

// Every test decodes BOM-less bytes as Latin-1, whatever the machine's locale.
class SettingsTest : public ::testing::Test {
 protected:
  FakeOs os_;
  ScopedOs scoped_{os_};

  static TSettings Load(std::string_view bytes) {
    TSettings settings;
    settings.LoadFromBytes(bytes);
    return settings;
  }
};

// --- integers ----------------------------------------------------------------

struct IntCase {
  std::string text;
  std::optional<int32_t> expected;
};

TEST(ParseInteger, FollowsTheDecimalAndHexadecimalRules) {
  const IntCase cases[] = {
      {"1024", 1024},
      {"+1024", 1024},
      {"-1024", -1024},
      {"00012", 12},
      {"-0", 0},
      {"  12", 12},  // leading blanks
      {"0x400", 1024},
      {"0X400", 1024},
      {"$400", 1024},
      {"x400", 1024},
      {"X400", 1024},
      {"0xff", 255},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"0xFF00001A", -16777190},  // the bit pattern
      {"$FF00001A", -16777190},
      {"0xFFFFFFFF", -1},
      {"-0x1", -1},  // "-" negates the pattern
      {"-$FFFFFFFF", 1},
      {"-0x80000000", INT32_MIN},
      {"+$10", 16},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"0x100000000", std::nullopt},  // a ninth digit
      {"0x000000001", std::nullopt},
      {"1024px", std::nullopt},
      {"12 ", std::nullopt},
      {"1 000", std::nullopt},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"x", std::nullopt},
      {"0x1G", std::nullopt},
      {"--1", std::nullopt},
      {"+-1", std::nullopt},
      {"$-1", std::nullopt},
      {"1e3", std::nullopt},
      {"true", std::nullopt},
      {"\xEF\xBC\x91", std::nullopt},  // FULLWIDTH DIGIT ONE
  };
  for (const auto& c : cases) EXPECT_EQ(TSettings::ParseInteger(c.text), c.expected) << c.text;
}

TEST_F(SettingsTest, ReadIntegerGivesTheDefaultForWhatDoesNotParse) {
  const TSettings s = Load(
      "[App]\n"
      "Width = 1024   \t\n"
      "Hex=0x400\n"
      "Dollar=$400\n"
      "Px=1024px\n"
      "Empty=\n"
      "Big=4294967296\n"
      "Bare\n");
  const std::pair<const char*, int32_t> cases[] = {
      {"Width", 1024}, {"Hex", 1024}, {"Dollar", 1024}, {"Px", 800},
      {"Empty", 800},  {"Big", 800},  {"Bare", 800},    {"Absent", 800},
  };
  for (const auto& [key, expected] : cases)
    EXPECT_EQ(s.ReadInteger("App", key, 800), expected) << key;
}

TEST_F(SettingsTest, BooleansAreIntegers) {
  const TSettings s = Load(
      "[App]\n"
      "One=1\nMinusOne=-1\nTwo=2\nZero=0\nHexZero=0x0\nTrue=true\nFalse=false\nYes=yes\nEmpty=\n");
  struct BoolCase {
    const char* key;
    bool default_value;
    bool expected;
  };
  const BoolCase cases[] = {
      {"One", false, true},     {"MinusOne", false, true}, {"Two", false, true},
      {"Zero", true, false},    {"HexZero", true, false},  {"True", false, false},
      {"False", true, true},    {"Yes", true, true},       {"Empty", true, true},
      {"Absent", false, false}, {"Absent", true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(s.ReadBool("App", c.key, c.default_value), c.expected)
        << c.key << " default " << c.default_value;
  }
}

TEST_F(SettingsTest, ColoursAreSystemIndexesOrBgr) {
  const TSettings s = Load(
      "[App]\nHex=0xFF00001A\nDollar=$FF00001A\nDecimal=-16777190\nRgb=0x00563412\nJunk=red\n");
  const TSettingsColor hot_track{.is_system = true, .system_index = 26};
  const TSettingsColor rgb{.red = 0x12, .green = 0x34, .blue = 0x56};
  const auto kDefault = static_cast<int32_t>(0xFF00001A);
  EXPECT_EQ(s.ReadColor("App", "Hex", 0), hot_track);
  EXPECT_EQ(s.ReadColor("App", "Dollar", 0), hot_track);
  EXPECT_EQ(s.ReadColor("App", "Decimal", 0), hot_track);
  EXPECT_EQ(s.ReadColor("App", "Rgb", kDefault), rgb);
  EXPECT_EQ(s.ReadColor("App", "Junk", kDefault), hot_track);
  EXPECT_EQ(s.ReadColor("App", "Absent", 0x00563412), rgb);
  EXPECT_EQ(TSettingsColor::FromInteger(0x01563412), rgb);  // other top bytes are ignored
}

// --- the dialect -------------------------------------------------------------

TEST_F(SettingsTest, ParsesTheDialect) {
  const TSettings s = Load(
      "ID=before-any-section\n"
      "; a comment\n"
      "[app]\n"
      "id=com.example.demo\n"
      "Name=\"My App\"\n"
      ";Width=5\n"
      "  Title  =   spaced value  \n"
      "Expr=a=b=c\n"
      "Empty=\n"
      "Bare\n"
      "Twice=first\n"
      "#Hash=not a comment\n"
      "[Other]\n"
      "Twice=other section\n"
      "[ App ]\n"
      "Twice=last\n"
      "Redefined=value\n"
      "Redefined\n"
      "[]\n"
      "Nameless=yes\n");
  struct Read {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Read cases[] = {
      {"App", "ID", "com.example.demo"},  // [app] and id, read as App/ID
      {"APP", "Id", "com.example.demo"},
      {"App", "Name", "\"My App\""},  // quotes kept
      {"App", "Width", "default"},    // commented out
      {"App", "Title", "spaced value"},
      {"App", "Expr", "a=b=c"},    // split at the first "="
      {"App", "Empty", ""},        // written with "=": the empty value
      {"App", "Bare", "default"},  // no "=": the reader's default
      {"App", "Twice", "last"},    // [ App ] continues [app]; last one wins
      {"Other", "Twice", "other section"},
      {"App", "#Hash", "not a comment"},
      {"App", "Redefined", "default"},  // the last occurrence has no value
      {"", "Nameless", "yes"},
      {"Missing", "ID", "default"},
      {"App", "Missing", "default"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(s.ReadString(c.section, c.key, "default"), c.expected) << c.section << "/" << c.key;
  }
}

TEST_F(SettingsTest, CutsLinesAtCrLfCrAndLf) {
  const TSettings s = Load("[App]\r\nA=1\rB=2\nC=3\r\n\r\nD=4\n\rE=5\r");
  const std::pair<const char*, int32_t> cases[] = {
      {"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"E", 5}};
  for (const auto& [key, expected] : cases)
    EXPECT_EQ(s.ReadInteger("App", key, -1), expected) << key;
}

TEST_F(SettingsTest, TrimsEveryControlCharacter) {
  static constexpr char kText[] = "\t[App]\x01\n\x0B Key\x1F=\x02 value\x7F\x1F\x00\n";
  const TSettings s = Load(std::string_view(kText, sizeof kText - 1));
  EXPECT_EQ(s.ReadString("App", "Key", "default"), "value\x7F");  // U+007F is not <= 32
}

TEST_F(SettingsTest, NamesAreCaselessBeyondAscii) {
  const TSettings s = Load(
      "\xEF\xBB\xBF"
      "[\xC3\x84rger]\n\xC3\x9C"
      "BER=1\n"                                               // [Ärger] ÜBER
      "[\xD0\xA0\xD0\xB0\xD0\xB7\xD0\xB4\xD0\xB5\xD0\xBB]\n"  // [Раздел]
      "\xCE\xA3\xCE\xB9\xCE\xB3\xCE\xBC\xCE\xB1=2\n");        // Σιγμα
  EXPECT_EQ(s.ReadInteger("\xC3\xA4RGER",
                          "\xC3\xBC"
                          "ber",
                          0),
            1);
  EXPECT_EQ(s.ReadInteger("\xD0\xA0\xD0\x90\xD0\x97\xD0\x94\xD0\x95\xD0\x9B",
                          "\xCF\x83\xCE\xB9\xCE\xB3\xCE\xBC\xCE\xB1", 0),
            2);
  EXPECT_EQ(s.ReadInteger("\xD0\xA0\xD0\x90\xD0\x97\xD0\x94\xD0\x95\xD0\x9B",
                          "\xCF\x82\xCE\xB9\xCE\xB3\xCE\xBC\xCE\xB1", 0),
            2);  // final sigma
}

TEST_F(SettingsTest, LoadingReplacesTheWholeContent) {
  TSettings s;
  s.LoadFromBytes("[App]\nA=1\n");
  s.LoadFromBytes("[App]\nB=2\n");
  EXPECT_EQ(s.ReadInteger("App", "A", -1), -1);
  EXPECT_EQ(s.ReadInteger("App", "B", -1), 2);
  s.LoadFromBytes("");
  EXPECT_EQ(s.ReadInteger("App", "B", -1), -1);
}

// --- decoding ----------------------------------------------------------------

std::string Utf16Bytes(std::u16string_view units, bool big_endian, bool bom = true) {
  std::string out = bom ? (big_endian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (const char16_t u : units) {
    const char hi = static_cast<char>(u >> 8);
    const char lo = static_cast<char>(u & 0xFF);
    out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

TEST_F(SettingsTest, ByteOrderMarksSelectTheEncoding) {
  // Name=Café ☕ 😀, with CR LF line ends.
  const std::string utf8 =
      "[App]\r\nName=Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80\r\nWidth=640\r\n";
  const std::u16string utf16 = utf::Utf8ToUtf16(utf8);
  const std::string expected = "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80";
  const std::string files[] = {"\xEF\xBB\xBF" + utf8, Utf16Bytes(utf16, false),
                               Utf16Bytes(utf16, true)};
  for (const auto& bytes : files) {
    const TSettings s = Load(bytes);
    EXPECT_EQ(s.ReadString("App", "Name", ""), expected);
    EXPECT_EQ(s.ReadInteger("App", "Width", 0), 640);
  }
}

TEST_F(SettingsTest, WithoutAMarkTheAnsiCodePageDecodes) {
  // The fake seam's code page is Latin-1: UTF-8's two bytes of é become "Ã©".
  const TSettings utf8 = Load("[App]\nName=Caf\xC3\xA9\n");
  EXPECT_EQ(utf8.ReadString("App", "Name", ""), "Caf\xC3\x83\xC2\xA9");
  const TSettings latin1 = Load("[App]\nName=Caf\xE9\n");
  EXPECT_EQ(latin1.ReadString("App", "Name", ""), "Caf\xC3\xA9");
}

TEST_F(SettingsTest, MalformedEncodingsBecomeReplacementCharacters) {
  struct DecodeCase {
    std::string bytes;
    std::string text;
  };
  const DecodeCase cases[] = {
      {"\xEF\xBB\xBF", ""},
      {"\xFF\xFE", ""},
      {"\xFE\xFF", ""},
      {"\xEF\xBB\xBF"
       "a\xFF"
       "b\xC3",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"},
      {Utf16Bytes(u"ab", false) + "c", "ab\xEF\xBF\xBD"},  // odd byte count
      {Utf16Bytes(u"a\xD800"
                  "b",
                  false),
       "a\xEF\xBF\xBD"
       "b"},  // lone high surrogate
      {Utf16Bytes(u"\xDC00\xD83D\xDE00\xD83D", true), "\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD"},
      {Utf16Bytes(u"x", true) + "\xFF", "x\xEF\xBF\xBD"},
      {"\xFE", "\xC3\xBE"},  // one byte is no mark: Latin-1 here
  };
  for (const auto& c : cases) EXPECT_EQ(TSettings::DecodeText(c.bytes), c.text);
}

}  // namespace
}  // namespace tessel::shared
