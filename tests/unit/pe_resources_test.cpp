#include "shared/pe_resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "archive_fixtures.h"
#include "shared/exe_utils.h"
#include "shared/utf.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tessel::shared {
namespace {

// Where the relocation directory's entry lies in a PE32+ optional header.
constexpr size_t kRelocationEntry = 112 + 5 * size_t{8};

std::vector<uint8_t> Fixture(const std::string& name) {
  return test::ReadBytes(std::string(TESSEL_PE_FIXTURES) + "/" + name + ".exe");
}

std::vector<uint8_t> IconFile(const std::string& name) {
  return test::ReadBytes(std::string(TESSEL_PE_ICONS) + "/" + name);
}

// An icon file whose images are `sizes` bytes of a repeated marker byte.
std::vector<uint8_t> MakeIcon(const std::vector<uint32_t>& sizes) {
  std::vector<uint8_t> b(6 + 16 * sizes.size(), 0);
  test::Put16(b, 2, 1);
  test::Put16(b, 4, static_cast<uint16_t>(sizes.size()));
  for (size_t i = 0; i < sizes.size(); ++i) {
    b[6 + 16 * i] = static_cast<uint8_t>(16 * (i + 1));
    test::Put32(b, 6 + 16 * i + 8, sizes[i]);
    test::Put32(b, 6 + 16 * i + 12, static_cast<uint32_t>(b.size()));
    b.insert(b.end(), sizes[i], static_cast<uint8_t>(0xA0 + i));
  }
  return b;
}

const TResId kIcon = TResId::Id(kRtIcon);
const TResId kGroup = TResId::Id(kRtGroupIcon);
const TResId kMain = TResId::Name(u"MAINICON");

std::u16string VersionText(const std::vector<uint8_t>& block, std::string_view key) {
  for (const TVersionValue& v : ListVersionValues(block)) {
    if (std::string(v.key.begin(), v.key.end()) != key) continue;
    std::u16string text;
    for (size_t i = 0; i < v.chars; ++i) {
      text.push_back(
          static_cast<char16_t>(block[v.offset + 2 * i] | (block[v.offset + 2 * i + 1] << 8)));
    }
    return text;
  }
  return u"<absent>";
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(PeImageTest, RebuildKeepsEveryResourceAndMovesTheRelocations) {
  const std::vector<uint8_t> original = Fixture("template");
  const TPeImage image(original);
  ASSERT_NE(image.Find(kGroup, kMain, kLangEnUs), nullptr);
  ASSERT_NE(image.Find(TResId::Id(kRtVersion), TResId::Id(1), kLangEnUs), nullptr);

  // A large icon makes the resource section grow past the relocations.
  TPeImage grown(original);
  const std::vector<uint8_t> big = MakeIcon({300000, 7});
  ReplaceMainIcon(grown, big);
  const std::vector<uint8_t> rebuilt = grown.Build();
  const TPeImage reread(rebuilt);
  ASSERT_EQ(reread.Resources().size(), grown.Resources().size());
  for (size_t i = 0; i < reread.Resources().size(); ++i) {
    EXPECT_TRUE(reread.Resources()[i].data == grown.Resources()[i].data) << i;
  }
  EXPECT_EQ(reread.Find(kIcon, TResId::Id(1), kLangEnUs)->data.size(), 300000U);
  // The attach offset follows the rebuilt sections: the file ends there.
  EXPECT_EQ(ComputeAttachOffset(rebuilt).attach_offset, rebuilt.size());

  // The relocation table keeps its bytes at its new place; the image size
  // covers it.
  const size_t pe = Le32(original, 0x3C);
  const size_t opt = pe + 24;
  const auto relocations = [&](const std::vector<uint8_t>& file) {
    const uint32_t rva = Le32(file, opt + kRelocationEntry);
    const uint32_t size = Le32(file, opt + kRelocationEntry + 4);
    const uint16_t sections = static_cast<uint16_t>(file[pe + 6] | (file[pe + 7] << 8));
    for (size_t s = 0; s < sections; ++s) {
      const size_t at = opt + 240 + 40 * s;
      const uint32_t va = Le32(file, at + 12);
      if (rva >= va && rva < va + Le32(file, at + 16)) {
        const size_t offset = Le32(file, at + 20) + (rva - va);
        EXPECT_LE(rva + size, Le32(file, opt + 56)) << "SizeOfImage";
        return std::vector<uint8_t>(file.begin() + offset, file.begin() + offset + size);
      }
    }
    ADD_FAILURE() << "no section holds the relocations";
    return std::vector<uint8_t>{};
  };
  EXPECT_NE(Le32(original, opt + kRelocationEntry), Le32(rebuilt, opt + kRelocationEntry));
  EXPECT_EQ(relocations(original), relocations(rebuilt));
}

TEST(PeImageTest, DamagedImagesFailWithAnError) {
  const std::vector<uint8_t> good = Fixture("template");
  const size_t pe = Le32(good, 0x3C);
  const size_t dir = pe + 24 + 112 + 2 * size_t{8};
  const uint32_t rsrc_rva = Le32(good, dir);
  // The raw offset of the resource section, found from its table entry.
  size_t rsrc_raw = 0;
  for (size_t at = pe + 24 + 240; at < pe + 24 + 240 + 16 * size_t{40}; at += 40) {
    if (Le32(good, at + 12) == rsrc_rva) {
      rsrc_raw = Le32(good, at + 20);
      break;
    }
  }
  ASSERT_NE(rsrc_raw, 0U);
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* message_part;
  };
  const std::vector<Case> cases = {
      {"empty", [](auto& b) { b.clear(); }, "outside the file"},
      {"cut in the headers", [](auto& b) { b.resize(0x100); }, "outside the file"},
      {"cut in the sections", [](auto& b) { b.resize(b.size() - 100); }, "truncated"},
      {"data behind the image", [](auto& b) { b.push_back('P'); }, "follow the image"},
      {"PE offset far away", [](auto& b) { test::Put32(b, 0x3C, 0xFFFFFFF0); }, "outside"},
      {"directory entries beyond the section",
       [&](auto& b) { test::Put16(b, rsrc_raw + 14, 0xFFFF); }, "outside the resource section"},
      {"a loop back to the root", [&](auto& b) { test::Put32(b, rsrc_raw + 20, 0x80000000U); },
       "reached twice"},
      {"data outside every section",
       [&](auto& b) {
         // The first type's first name's first language: follow the tree.
         const uint32_t names = Le32(b, rsrc_raw + 20) & 0x7FFFFFFF;
         const uint32_t langs = Le32(b, rsrc_raw + names + 20) & 0x7FFFFFFF;
         const uint32_t entry = Le32(b, rsrc_raw + langs + 20);
         test::Put32(b, rsrc_raw + entry, 0x7FFFFFF0);
       },
       "outside the image's section data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bad = good;
    c.damage(bad);
    try {
      TPeImage image(bad);
      FAIL() << "accepted";
    } catch (const EPeResourceError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
}

TEST(PeLibraryTest, ReadsKindAndExportNamesAndFailsOnDamagedTables) {
  const TPeLibrary library = ReadPeLibrary(test::MakePeLibrary({"First", "Second"}));
  EXPECT_TRUE(library.pe32_plus);
  EXPECT_TRUE(library.is_dll);
  EXPECT_EQ(library.machine, 0x8664);
  EXPECT_EQ(library.exports, (std::vector<std::string>{"First", "Second"}));
  const TPeLibrary program = ReadPeLibrary(Fixture("template"));
  EXPECT_FALSE(program.is_dll);
  EXPECT_TRUE(program.exports.empty());

  // The export directory sits at file offset 0x200 (RVA 0x1000); the names
  // array at 0x228, the first name at 0x230.
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* message_part;
  };
  const std::vector<Case> cases = {
      {"names array outside the sections", [](auto& b) { test::Put32(b, 0x220, 0x7FFFFFF0); },
       "outside the image's section data"},
      {"more names than ordinals", [](auto& b) { test::Put32(b, 0x218, 0x10001); },
       "export table with 65537 names"},
      {"a name outside the sections", [](auto& b) { test::Put32(b, 0x228, 0x9000); },
       "outside the image's section data"},
      {"a name without its end", [](auto& b) { std::fill(b.begin() + 0x230, b.end(), 'A'); },
       "export name without its end"},
      {"cut in the export table", [](auto& b) { b.resize(0x210); }, "outside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bad = test::MakePeLibrary({"First", "Second"});
    c.damage(bad);
    try {
      ReadPeLibrary(bad);
      FAIL() << "accepted";
    } catch (const EPeResourceError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
}

TEST(IconFileTest, Validation) {
  std::vector<uint8_t> wraps = MakeIcon({4});
  test::Put32(wraps, 6 + 12, 0xFFFFFFFE);
  std::vector<uint8_t> past_end = MakeIcon({4});
  test::Put32(past_end, 6 + 8, 5);
  std::vector<uint8_t> cut = MakeIcon({4, 4});
  cut.resize(20);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"five bytes", {0, 0, 1, 0, 0}, false},
      {"no images", MakeIcon({}), true},
      {"an executable", Fixture("noicon"), false},
      {"directory cut short", cut, false},
      {"image past the end", past_end, false},
      {"offset plus size wraps", wraps, false},
      {"several sizes, one PNG", IconFile("../../../resources/tessel.ico"), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidIconFile(c.bytes), c.valid) << c.name;
  }
}

TEST(ReplaceMainIconTest, ReplacesTheGroupAndItsImages) {
  TPeImage image(Fixture("groups"));
  // MAINICON names images 4 to 8; SECOND uses 1 to 3.
  const std::vector<uint8_t> ico = MakeIcon({10, 20, 30});
  ReplaceMainIcon(image, ico);
  for (uint16_t id = 4; id <= 8; ++id) {
    EXPECT_FALSE(image.FirstLanguage(kIcon, TResId::Id(id))) << id;
  }
  for (uint16_t id = 1; id <= 3; ++id) {
    const TResource* icon = image.Find(kIcon, TResId::Id(id), kLangEnUs);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->data,
              std::vector<uint8_t>(size_t{10} * id, static_cast<uint8_t>(0xA0 + id - 1)));
  }
  const TResource* group = image.Find(kGroup, kMain, kLangEnUs);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group->data.size(), 6U + 14 * 3);
  EXPECT_EQ(group->data[2], 1);  // idType kept from the previous directory
  EXPECT_EQ(group->data[4], 3);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::equal(group->data.begin() + 6 + 14 * i, group->data.begin() + 18 + 14 * i,
                           ico.begin() + 6 + 16 * i));
    EXPECT_EQ(group->data[18 + 14 * i], i + 1);
  }
  // The other group still exists, now showing the new images.
  EXPECT_TRUE(image.FirstLanguage(kGroup, TResId::Name(u"second")));
  // The result survives a rebuild.
  const TPeImage reread(image.Build());
  EXPECT_EQ(reread.Find(kGroup, kMain, kLangEnUs)->data, group->data);
}

TEST(ReplaceMainIconTest, Failures) {
  TPeImage image(Fixture("template"));
  const auto message = [&](TPeImage& target, const std::vector<uint8_t>& ico) {
    try {
      ReplaceMainIcon(target, ico);
      return std::string("no error");
    } catch (const EPeResourceError& e) {
      return std::string(e.what());
    }
  };
  std::vector<uint8_t> exactly_max = MakeIcon({static_cast<uint32_t>(kMaxIconFileSize - 22)});
  ASSERT_EQ(exactly_max.size(), kMaxIconFileSize);
  EXPECT_EQ(message(image, exactly_max), "no error");
  exactly_max.push_back(0);
  EXPECT_EQ(message(image, exactly_max), "Icon file is too large");
  EXPECT_EQ(message(image, {'M', 'Z', 0, 0, 0, 0}), "Icon file is invalid");
  TPeImage no_icon(Fixture("noicon"));
  EXPECT_NE(message(no_icon, MakeIcon({1})).find("no \"MAINICON\""), std::string::npos);

  // No images: a 6-byte directory.
  EXPECT_EQ(message(image, MakeIcon({})), "no error");
  EXPECT_EQ(image.Find(kGroup, kMain, kLangEnUs)->data.size(), 6U);
}

TEST(VersionTextsTest, WritesInPlaceBesideTheTemplate) {
  TPeImage image(Fixture("template"));
  const std::vector<uint8_t> template_block =
      image.Find(TResId::Id(kRtVersion), TResId::Id(1), kLangEnUs)->data;
  // The template's room: blanks, and a version padded to 23 characters.
  EXPECT_EQ(VersionText(template_block, "CompanyName"), std::u16string(255, u' ') + u'\0');
  EXPECT_EQ(VersionText(template_block, "FileVersion"),
            u"1.0.0.0" + std::u16string(16, u' ') + u'\0');
  const std::u16string name255(255, u'\u00e9');
  const std::u16string version23 = u"65535.65535.65535.65535";
  std::vector<std::string> too_long;
  ASSERT_TRUE(UpdateVersionTexts(image,
                                 {{"ProductName", name255},
                                  {"FileVersion", version23},
                                  {"ProductVersion", version23 + u"0"},
                                  {"originalfilename", u"notes.exe"},
                                  {"Comments", u""}},
                                 &too_long));
  EXPECT_EQ(too_long, std::vector<std::string>{"ProductVersion"});
  const TResource* neutral = image.Find(TResId::Id(kRtVersion), TResId::Id(1), 0);
  ASSERT_NE(neutral, nullptr);
  ASSERT_EQ(neutral->data.size(), template_block.size());
  EXPECT_EQ(VersionText(neutral->data, "ProductName"), name255 + u'\0');
  EXPECT_EQ(VersionText(neutral->data, "FileVersion"), version23 + u'\0');
  EXPECT_EQ(VersionText(neutral->data, "OriginalFilename"),
            u"notes.exe" + std::u16string(256 - 9, u'\0'));
  EXPECT_EQ(VersionText(neutral->data, "Comments"), std::u16string(256, u'\0'));
  // Values nobody set lose their padding, not their room; the text too long
  // for its room leaves its value as it was.
  EXPECT_EQ(VersionText(neutral->data, "CompanyName"), std::u16string(256, u'\0'));
  EXPECT_EQ(VersionText(neutral->data, "LegalTrademarks"), std::u16string(256, u'\0'));
  EXPECT_EQ(VersionText(neutral->data, "ProductVersion"),
            VersionText(template_block, "ProductVersion"));
  // The template itself is untouched; a second edit starts from the neutral
  // one and still has the whole room.
  EXPECT_EQ(image.Find(TResId::Id(kRtVersion), TResId::Id(1), kLangEnUs)->data, template_block);
  too_long.clear();
  ASSERT_TRUE(UpdateVersionTexts(image, {{"CompanyName", std::u16string(255, u'C')}}, &too_long));
  EXPECT_TRUE(too_long.empty());
  const std::vector<uint8_t>& second = image.Find(TResId::Id(kRtVersion), TResId::Id(1), 0)->data;
  EXPECT_EQ(VersionText(second, "ProductName"), name255 + u'\0');
  EXPECT_EQ(VersionText(second, "CompanyName"), std::u16string(255, u'C') + u'\0');

  TPeImage no_version(Fixture("noicon"));
  EXPECT_FALSE(UpdateVersionTexts(no_version, {{"CompanyName", u"x"}}));
}

// A version text that reads as a number sets the fixed part's number of the
// same kind; any other text leaves it as it was.
TEST(VersionTextsTest, NumericVersionsFollowTheirTexts) {
  const std::vector<uint8_t> block =
      TPeImage(Fixture("template")).Find(TResId::Id(kRtVersion), TResId::Id(1), kLangEnUs)->data;
  const TVersionNumber kTemplate = {1, 0, 0, 0};
  ASSERT_EQ(ReadFixedVersion(block)->file, kTemplate);
  ASSERT_EQ(ReadFixedVersion(block)->product, kTemplate);
  struct Case {
    std::u16string text;
    std::optional<TVersionNumber> number;  // nothing: not a number
  };
  const std::vector<Case> cases = {
      {u"1.2.3.4", TVersionNumber{1, 2, 3, 4}},
      {u"1.2", TVersionNumber{1, 2, 0, 0}},
      {u"7", TVersionNumber{7, 0, 0, 0}},
      {u"65535.65535.65535.65535", TVersionNumber{65535, 65535, 65535, 65535}},
      {u"1.2.0.10", TVersionNumber{1, 2, 0, 10}},
      {u"01.002", TVersionNumber{1, 2, 0, 0}},
      {u"1.2-beta", std::nullopt},
      {u"", std::nullopt},
      {u"1.2.3.4.5", std::nullopt},
      {u"65536.0", std::nullopt},
      {u"99999999999", std::nullopt},
      {u" 1.2", std::nullopt},
      {u"1.2 ", std::nullopt},
      {u"1..2", std::nullopt},
      {u"1.2.", std::nullopt},
      {u".1", std::nullopt},
      {u"1,2", std::nullopt},
      {u"\uff11.2", std::nullopt},  // a full-width digit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(ParseVersionNumber(c.text), c.number);
    // Each key drives its own number: the other one gets a number of its own.
    for (const bool file : {true, false}) {
      const std::vector<uint8_t> out =
          WriteVersionTexts(block, {{file ? "fileversion" : "ProductVersion", c.text},
                                    {file ? "ProductVersion" : "FileVersion", u"9.8"}});
      EXPECT_EQ(VersionText(out, file ? "FileVersion" : "ProductVersion").substr(0, c.text.size()),
                c.text);
      const std::optional<TFixedVersion> fixed = ReadFixedVersion(out);
      ASSERT_TRUE(fixed);
      EXPECT_EQ(file ? fixed->file : fixed->product, c.number.value_or(kTemplate)) << file;
      EXPECT_EQ(file ? fixed->product : fixed->file, (TVersionNumber{9, 8, 0, 0})) << file;
    }
  }
  EXPECT_EQ(VersionNumberText({65535, 0, 7, 10}), "65535.0.7.10");

  // A number too long for its room is not written, so neither is its value.
  std::vector<std::string> too_long;
  const std::u16string padded = std::u16string(22, u'0') + u"1.2";
  ASSERT_EQ(ParseVersionNumber(padded), (TVersionNumber{1, 2, 0, 0}));
  const std::vector<uint8_t> refused =
      WriteVersionTexts(block, {{"FileVersion", padded}}, &too_long);
  EXPECT_EQ(too_long, std::vector<std::string>{"FileVersion"});
  EXPECT_EQ(refused, block);

  // A fixed part without its signature is no fixed part: left as it is.
  std::vector<uint8_t> unsigned_fixed = block;
  const uint8_t kSignature[] = {0xBD, 0x04, 0xEF, 0xFE};
  const auto at = std::search(unsigned_fixed.begin(), unsigned_fixed.end(), std::begin(kSignature),
                              std::end(kSignature));
  ASSERT_NE(at, unsigned_fixed.end());
  *at = 0;
  EXPECT_FALSE(ReadFixedVersion(unsigned_fixed));
  const std::vector<uint8_t> out = WriteVersionTexts(unsigned_fixed, {{"FileVersion", u"2.0"}});
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + (at - unsigned_fixed.begin()) + 52,
                         unsigned_fixed.begin()));
  EXPECT_EQ(VersionText(out, "FileVersion").substr(0, 4), std::u16string(u"2.0") + u'\0');
}

TEST(VersionTextsTest, LyingLengthsFailWithAnError) {
  const std::vector<uint8_t> good =
      TPeImage(Fixture("template")).Find(TResId::Id(kRtVersion), TResId::Id(1), kLangEnUs)->data;
  for (const size_t at : {size_t{0}, size_t{92}, size_t{128}, size_t{152}, size_t{154}}) {
    for (const uint16_t value : {uint16_t{0}, uint16_t{3}, uint16_t{0xFFFF}}) {
      std::vector<uint8_t> bad = good;
      test::Put16(bad, at, value);
      try {
        WriteVersionTexts(bad, {{"CompanyName", u"x"}});
      } catch (const EPeResourceError&) {
      }
    }
  }
}

TEST(ExeUtilsResourcesTest, FileEditsLeaveTheFileAsItWasOnFailure) {
  test::TempDir dir;
  const std::string exe = dir.File("app.exe");
  test::WriteBytes(exe, Fixture("template"));
  test::WriteBytes(dir.File("bad.ico"), std::string("MZ not an icon"));
  TExeUtils utils(exe);
  try {
    utils.ChangeExeIcon(exe, dir.File("bad.ico"));
    FAIL() << "accepted";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Icon file is invalid");
  }
  EXPECT_EQ(test::ReadBytes(exe), Fixture("template"));
  EXPECT_FALSE(
      utils.UpdateExeInfo(dir.File("missing.exe"), "", "", "", "", "", "", "", "", "", "", ""));
}

#ifdef _WIN32

std::wstring Wide(const std::string& s) { return Utf8ToPath(s).wstring(); }

struct ReadBack {
  std::vector<std::vector<uint8_t>> images;  // the images MAINICON names, in order
  std::vector<std::u16string> texts;         // each version key's value
  TFixedVersion fixed;
};

ReadBack ReadThroughTheApi(const std::string& exe) {
  ReadBack out;
  const HMODULE module = LoadLibraryExW(Wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EXPECT_NE(module, nullptr);
  const auto load = [&](HRSRC found) {
    const auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    return std::vector<uint8_t>(p, p + SizeofResource(module, found));
  };
  const std::vector<uint8_t> group =
      load(FindResourceW(module, L"MAINICON", MAKEINTRESOURCEW(kRtGroupIcon)));
  for (size_t i = 0; 6 + 14 * i + 14 <= group.size(); ++i) {
    const WORD id = static_cast<WORD>(group[18 + 14 * i] | (group[19 + 14 * i] << 8));
    out.images.push_back(load(FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3))));
  }
  FreeLibrary(module);
  DWORD handle = 0;
  std::vector<uint8_t> info(GetFileVersionInfoSizeW(Wide(exe).c_str(), &handle));
  EXPECT_TRUE(
      GetFileVersionInfoW(Wide(exe).c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  for (const std::string_view key : kVersionKeys) {
    void* value = nullptr;
    UINT chars = 0;
    const std::wstring path =
        L"\\StringFileInfo\\040904E4\\" + std::wstring(key.begin(), key.end());
    VerQueryValueW(info.data(), path.c_str(), &value, &chars);
    out.texts.emplace_back(static_cast<const char16_t*>(value));
  }
  void* fixed = nullptr;
  UINT size = 0;
  EXPECT_TRUE(VerQueryValueW(info.data(), L"\\", &fixed, &size));
  EXPECT_EQ(size, sizeof(VS_FIXEDFILEINFO));
  const auto* numbers = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  const auto split = [](DWORD ms, DWORD ls) {
    return TVersionNumber{HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls)};
  };
  out.fixed = {split(numbers->dwFileVersionMS, numbers->dwFileVersionLS),
               split(numbers->dwProductVersionMS, numbers->dwProductVersionLS)};
  return out;
}

// The platform's resource-update calls and the portable editor, given the
// same icon and texts, leave the same icon images, version strings and
// numeric versions: a version text that is no number keeps its number.
TEST(ExeUtilsResourcesTest, PlatformAndPortablePathsAgree) {
  test::TempDir dir;
  const std::string api = dir.File("api.exe");
  const std::string portable = dir.File("portable.exe");
  test::WriteBytes(api, Fixture("template"));
  test::WriteBytes(portable, Fixture("template"));
  const std::string ico = dir.File("app.ico");
  test::WriteBytes(ico, IconFile("five.ico"));
  const std::vector<std::string> texts = {"Example Corp",
                                          "Notes",
                                          "2.0.0.1-rc",
                                          "notes",
                                          "(c) Example",
                                          "",
                                          "notes.exe",
                                          "com.example.notes",
                                          "Notes \xc3\xa9t\xc3\xa9",
                                          "65535.65535.65535.65535",
                                          "A comment"};

  TExeUtils utils(api);
  utils.ChangeExeIcon(api, ico);
  ASSERT_TRUE(utils.UpdateExeInfo(api, texts[0], texts[1], texts[2], texts[3], texts[4], texts[5],
                                  texts[6], texts[7], texts[8], texts[9], texts[10]));
  std::vector<TVersionText> portable_texts;
  for (size_t i = 0; i < texts.size(); ++i) {
    portable_texts.push_back({std::string(kVersionKeys[i]), utf::Utf8ToUtf16(texts[i])});
  }
  const std::vector<uint8_t> icon = IconFile("five.ico");
  EditExeResources(portable, &icon, portable_texts);

  const ReadBack a = ReadThroughTheApi(api);
  const ReadBack b = ReadThroughTheApi(portable);
  ASSERT_EQ(a.images.size(), 5U);
  EXPECT_EQ(a.images, b.images);
  for (size_t i = 0; i < 5; ++i) {
    const std::span<const uint8_t> expected = IconFileImage(icon, i);
    EXPECT_TRUE(
        std::equal(expected.begin(), expected.end(), b.images[i].begin(), b.images[i].end()));
  }
  EXPECT_EQ(a.texts, b.texts);
  EXPECT_EQ(b.texts[8], u"Notes \u00e9t\u00e9");
  EXPECT_EQ(b.texts[9], u"65535.65535.65535.65535");
  EXPECT_EQ(a.fixed.file, b.fixed.file);
  EXPECT_EQ(a.fixed.product, b.fixed.product);
  EXPECT_EQ(b.fixed.file, (TVersionNumber{1, 0, 0, 0}));
  EXPECT_EQ(b.fixed.product, (TVersionNumber{65535, 65535, 65535, 65535}));
}

TEST(ExeUtilsResourcesTest, PlatformPathFailures) {
  test::TempDir dir;
  const std::string exe = dir.File("noicon.exe");
  test::WriteBytes(exe, Fixture("noicon"));
  const std::vector<uint8_t> before = test::ReadBytes(exe);
  std::vector<uint8_t> big = MakeIcon({static_cast<uint32_t>(kMaxIconFileSize - 21)});
  test::WriteBytes(dir.File("big.ico"), big);
  test::WriteBytes(dir.File("small.ico"), MakeIcon({4}));
  test::WriteBytes(dir.File("exe.ico"), Fixture("noicon"));
  TExeUtils utils(exe);
  const auto message = [&](const std::string& ico) {
    try {
      utils.ChangeExeIcon(exe, dir.File(ico));
      return std::string("no error");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  };
  EXPECT_EQ(message("big.ico"), "Icon file is too large");
  EXPECT_EQ(message("exe.ico"), "Icon file is invalid");
  EXPECT_EQ(message("small.ico"), "FindResource failed (1)");
  EXPECT_EQ(test::ReadBytes(exe), before);
  EXPECT_FALSE(utils.UpdateExeInfo(exe, "x", "", "", "", "", "", "", "", "", "", ""));
  EXPECT_EQ(test::ReadBytes(exe), before);
}

#endif

}  // namespace
}  // namespace tessel::shared
