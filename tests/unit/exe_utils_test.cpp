#include "shared/exe_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>

#include "archive_fixtures.h"
#include "platform/fake/fake_os.h"
#include "shared/exe_zip.h"
#include "shared/zip_writer.h"

namespace tessel::shared {
namespace {

using test::MakeElf;
using test::MakePe;
using test::Put16;
using test::Put32;
using test::Put64;

// --- attach offset -------------------------------------------------------------

struct OffsetCase {
  const char* name;
  std::vector<uint8_t> image;
  uint64_t expected;
};

TEST(ComputeAttachOffset, FindsTheEndOfTheImage) {
  std::vector<OffsetCase> cases = {
      {"PE: last section ends the image", MakePe({{0x400, 0x200}, {0x600, 0x1000}}), 0x1600},
      {"PE: largest end wins over table order", MakePe({{0x1000, 0x800}, {0x400, 0x200}}), 0x1800},
      {"PE: a section without raw data counts 0", MakePe({{0x400, 0x200}, {0x9000, 0}}), 0x600},
      {"PE: the sum wraps at 32 bits", MakePe({{0x400, 0x200}, {0xFFFFF000, 0x2000}}), 0x1000},
      {"PE: no sections", MakePe({}), 0},
      {"ELF: section header table last",
       MakeElf({{0, 0x300}}, {{0, 0, 0}, {0x200, 0x100}, {0x300, 0x12}}), 0x318 + 3 * 64},
      {"ELF: section data after the table",
       MakeElf({{0, 0x100}}, {{0, 0, 0}, {0x400, 0x80}}, 0x200), 0x480},
      {"ELF: NOBITS occupies no file space",
       MakeElf({{0, 0x200}}, {{0, 0, 0}, {0x200, 0x100000, 8}}, 0x200), 0x200 + 2 * 64},
      {"ELF: a segment reaches furthest", MakeElf({{0, 0x100}, {0x100, 0x900}}, {}), 0xA00},
      {"ELF: headers only", MakeElf({}, {}), 64},
  };
  // More sections than e_shnum holds: the count is in section 0's sh_size.
  std::vector<uint8_t> extended = MakeElf({{0, 0x100}}, {{0, 0, 0}, {0x100, 0x40}}, 0x200);
  Put16(extended, 60, 0);
  Put64(extended, 0x200 + 32, 2);
  cases.push_back({"ELF: extended section count", extended, 0x200 + 2 * 64});

  for (const OffsetCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TImageLayout layout = ComputeAttachOffset(c.image);
    EXPECT_EQ(layout.attach_offset, c.expected);
    EXPECT_EQ(layout.format, c.image[0] == 'M' ? TImageFormat::kPe : TImageFormat::kElf64);
  }
}

struct BadImageCase {
  const char* name;
  std::vector<uint8_t> image;
  const char* message_part;
};

TEST(ComputeAttachOffset, RefusesBadHeadersWithANamedError) {
  const auto pe = MakePe({{0x400, 0x200}});
  const auto elf = MakeElf({{0, 0x100}}, {{0, 0, 0}, {0x100, 0x40}}, 0x200);
  auto with = [](std::vector<uint8_t> b, auto&& change) {
    change(b);
    return b;
  };
  const std::vector<BadImageCase> cases = {
      {"empty", {}, "too short"},
      {"text", {'h', 'e', 'l', 'l', 'o', '\n'}, "neither PE nor ELF"},
      {"DOS header cut", std::vector<uint8_t>(pe.begin(), pe.begin() + 40), "DOS header"},
      {"e_lfanew beyond the file", with(pe, [](auto& b) { Put32(b, 0x3C, 0xFFFFFFF0); }),
       "outside the file"},
      {"no PE signature", with(pe, [](auto& b) { b[0x40] = 'X'; }), "no PE signature"},
      {"object file (no optional header)", with(pe, [](auto& b) { Put16(b, 0x54, 0); }),
       "optional header"},
      {"unknown optional header magic", with(pe, [](auto& b) { Put16(b, 0x58, 0x107); }), "magic"},
      {"section table longer than the file", with(pe, [](auto& b) { Put16(b, 0x46, 0x4000); }),
       "section table"},
      {"section table cut",
       std::vector<uint8_t>(pe.begin(), pe.begin() + test::kPeSectionTable + 20), "section table"},
      {"ELF32", with(elf, [](auto& b) { b[4] = 1; }), "32-bit"},
      {"big-endian ELF", with(elf, [](auto& b) { b[5] = 2; }), "big-endian"},
      {"relocatable ELF", with(elf, [](auto& b) { Put16(b, 16, 1); }), "not an executable"},
      {"program headers beyond the file", with(elf, [](auto& b) { Put64(b, 32, 1ULL << 40); }),
       "program header table"},
      {"program header size too small", with(elf, [](auto& b) { Put16(b, 54, 8); }), "too small"},
      {"segment extent overflows",
       with(elf,
            [](auto& b) {
              Put64(b, 64 + 8, ~0ULL - 4);
              Put64(b, 64 + 32, 16);
            }),
       "segment 0"},
      {"section headers beyond the file", with(elf, [](auto& b) { Put64(b, 40, ~0ULL - 100); }),
       "section header"},
      {"section extent overflows",
       with(elf,
            [](auto& b) {
              Put64(b, 0x200 + 64 + 24, ~0ULL);
              Put64(b, 0x200 + 64 + 32, 1);
            }),
       "section 1"},
      {"extended section count larger than the file",
       with(elf,
            [](auto& b) {
              Put16(b, 60, 0);
              Put64(b, 0x200 + 32, 1ULL << 58);
            }),
       "larger than the file"},
  };
  for (const BadImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ComputeAttachOffset(c.image);
      ADD_FAILURE() << "accepted";
    } catch (const EExeFormatError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
}

// --- signed images ---------------------------------------------------------------

// Sets a PE image's security directory (data directory 4; PE32+ unless the
// optional header's magic says PE32) and its directory count.
void SetSecurityDirectory(std::vector<uint8_t>& b, uint32_t offset, uint32_t size,
                          uint32_t directory_count = 16) {
  const size_t directories = b[0x58] == 0x0B && b[0x59] == 0x01 ? 0x58 + 96 : 0x58 + 112;
  Put32(b, directories - 4, directory_count);
  Put32(b, directories + 32, offset);  // the fifth entry
  Put32(b, directories + 36, size);
}

// As a signing tool leaves it: the image, `archive`, zeros up to a multiple
// of 8 and a certificate table of `table_size` bytes that ends the file.
std::vector<uint8_t> SignedPe(const std::vector<uint8_t>& archive, uint32_t table_size = 0x80) {
  std::vector<uint8_t> b = MakePe({{0x400, 0x200}});
  b.insert(b.end(), archive.begin(), archive.end());
  b.resize((b.size() + 7) / 8 * 8, 0);
  const auto table = static_cast<uint32_t>(b.size());
  b.resize(b.size() + table_size, 0xA5);
  SetSecurityDirectory(b, table, table_size);
  return b;
}

TEST(ComputeAttachOffset, ASignedImagesArchiveEndsAtItsCertificateTable) {
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    uint64_t attach_end;
    bool is_signed;
  };
  auto with = [](std::vector<uint8_t> b, auto&& change) {
    change(b);
    return b;
  };
  const std::vector<Case> cases = {
      {"signed after packing", SignedPe(test::Pattern(0x105)), 0x708, true},
      {"signed, no archive", SignedPe({}), 0x600, true},
      {"PE32 directories",
       with(SignedPe(test::Pattern(0x100)),
            [](auto& b) {
              Put16(b, 0x58, 0x10B);
              Put32(b, 0x58 + 112 - 4, 0);
              Put64(b, 0x58 + 112 + 32, 0);
              SetSecurityDirectory(b, 0x700, 0x80);
            }),
       0x700, true},
      {"zero size: no table, whatever the offset",
       with(SignedPe(test::Pattern(0x100)),
            [](auto& b) { SetSecurityDirectory(b, 0xFFFFFFF0, 0); }),
       0x780, false},
      {"fewer than five directories: no security directory",
       with(SignedPe(test::Pattern(0x100)), [](auto& b) { Put32(b, 0x58 + 108, 4); }), 0x780,
       false},
      {"optional header too short to hold it: the section table is not read as one",
       with(MakePe({{0x400, 0x200}}),
            [](auto& b) {
              Put32(b, 0x58 + 108, 16);
              Put16(b, 0x54, 112 + 4 * 8);
              std::copy_n(b.begin() + test::kPeSectionTable, 40, b.begin() + 0x58 + 112 + 32);
            }),
       0x600, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TImageLayout layout = ComputeAttachOffset(c.image);
    EXPECT_EQ(layout.attach_offset, 0x600u);
    EXPECT_EQ(layout.attach_end, c.attach_end);
    EXPECT_EQ(layout.is_signed, c.is_signed);
  }

  // A table that cannot be this file's signature is refused, never followed.
  struct BadCase {
    const char* name;
    uint32_t offset;
    uint32_t size;
    const char* message_part;
  };
  const std::vector<uint8_t> signed_pe = SignedPe(test::Pattern(0x100));  // table at 0x700
  const std::vector<BadCase> bad_cases = {
      {"offset beyond the file", 0xFFFFFF00, 0x80, "lies outside the file"},
      {"size beyond the file", 0x700, 0xFFFFFFFF, "lies outside the file"},
      {"overlapping the image", 0x500, 0x280, "overlaps the image, which ends at 0x600"},
      {"not at the end (archive appended after signing)", 0x700, 0x40,
       "64 bytes follow it (data added after signing)"},
  };
  for (const BadCase& c : bad_cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> image = signed_pe;
    SetSecurityDirectory(image, c.offset, c.size);
    try {
      ComputeAttachOffset(image.size(), [&](uint64_t offset, std::span<uint8_t> out) {
        EXPECT_LE(offset + out.size(), image.size()) << "read outside the file";
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
      });
      ADD_FAILURE() << "accepted";
    } catch (const ECertificateTableError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
}

TEST(ComputeAttachOffset, RealExecutableEndsWithItsImage) {
  // This test program itself: unstripped on Linux (the symbol table is a
  // section and counts), stripped PE for Windows.
  const std::string self = platform::MakeNativeOs()->ExecutablePath();
  if (self.empty()) GTEST_SKIP() << "no executable path";
  const TImageLayout layout = ComputeAttachOffsetOfFile(self);
  EXPECT_EQ(layout.attach_offset, std::filesystem::file_size(Utf8ToPath(self)));
}

// --- TExeUtils -----------------------------------------------------------------

struct FatalCall {
  std::string text;
  std::string caption;
};

// Replaces the fatal handler with one that records and unwinds.
class FatalErrors {
 public:
  FatalErrors() {
    previous_ = SetFatalErrorHandler([this](const std::string& text, const std::string& caption) {
      calls.push_back({text, caption});
      throw Unwind{};
    });
  }
  ~FatalErrors() { SetFatalErrorHandler(previous_); }
  struct Unwind {};
  std::vector<FatalCall> calls;

 private:
  TFatalErrorHandler previous_;
};

struct Progress {
  std::vector<int64_t> max;
  std::vector<int64_t> pos;

  void Attach(TExeUtils& utils) {
    utils.OnProgressMax = [this](TExeUtils&, int64_t m) { max.push_back(m); };
    utils.OnProgressPos = [this](TExeUtils&, int64_t p) { pos.push_back(p); };
  }
  static std::vector<int64_t> Expected(int64_t n) {
    std::vector<int64_t> v;
    for (int64_t p = 10240; p < n; p += 10240) v.push_back(p);
    v.push_back(n);
    return v;
  }
};

class ExeUtilsTest : public ::testing::Test {
 protected:
  // A PE image of 0x600 bytes followed by `attached`.
  std::string MakeExe(const std::string& name, const std::vector<uint8_t>& attached) {
    std::vector<uint8_t> bytes = MakePe({{0x400, 0x200}});
    image_size_ = bytes.size();
    bytes.insert(bytes.end(), attached.begin(), attached.end());
    std::string path = dir_.File(name);
    test::WriteBytes(path, bytes);
    return path;
  }

  test::TempDir dir_;
  size_t image_size_ = 0;
};

TEST_F(ExeUtilsTest, CopiesOutInBlocksWithProgress) {
  for (const int64_t n : {1, 10239, 10240, 10241, 25000, 30720}) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> zip = test::Pattern(static_cast<size_t>(n));
    TExeUtils utils(MakeExe("app.exe", zip));
    EXPECT_TRUE(utils.ExeHasAttachedStub());

    Progress progress;
    progress.Attach(utils);
    std::vector<uint8_t> stream = {1, 2, 3};  // replaced, not appended to
    utils.GetZipFromExe(stream);
    EXPECT_EQ(stream, zip);
    EXPECT_EQ(progress.max, std::vector<int64_t>{n});
    EXPECT_EQ(progress.pos, Progress::Expected(n));

    Progress to_file;
    to_file.Attach(utils);
    const std::string out = dir_.File("out.zip");
    test::WriteBytes(out, test::Pattern(50000, 9));  // truncated by the copy
    utils.ExtractZipFromExe(out);
    EXPECT_EQ(test::ReadBytes(out), zip);
    EXPECT_EQ(to_file.max, std::vector<int64_t>{n});
    EXPECT_EQ(to_file.pos, Progress::Expected(n));

    // Mapped in place: the same bytes, though the archive starts mid-page;
    // no copy, so no progress.
    Progress mapped_progress;
    mapped_progress.Attach(utils);
    const TMappedFile mapped = utils.MapZipFromExe();
    EXPECT_TRUE(std::equal(zip.begin(), zip.end(), mapped.Bytes().begin(), mapped.Bytes().end()));
    EXPECT_TRUE(mapped_progress.max.empty());
    EXPECT_TRUE(mapped_progress.pos.empty());
  }
}

TEST_F(ExeUtilsTest, AppendThenCopyOutGivesTheZipBackAndItOpens) {
  std::ostringstream zip_bytes;
  TZipWriter writer(zip_bytes, "pw");
  writer.AddEntry("vtx.ini", "[App]\nID=x\n", {});
  writer.AddEntry("webapp/big.bin", std::string(30000, 'z'), {});
  writer.Finish();
  const std::string zip = zip_bytes.str();
  const std::string zip_path = dir_.File("app.zip");
  test::WriteBytes(zip_path, zip);

  const std::string exe = MakeExe("runtime.exe", {});
  TExeUtils utils(exe);
  EXPECT_FALSE(utils.ExeHasAttachedStub());
  Progress progress;
  progress.Attach(utils);
  utils.AppendZipToExe(zip_path, exe);
  EXPECT_EQ(progress.max, std::vector<int64_t>{static_cast<int64_t>(zip.size())});
  EXPECT_EQ(progress.pos, Progress::Expected(static_cast<int64_t>(zip.size())));

  // The image is untouched and the archive follows it unchanged.
  const std::vector<uint8_t> whole = test::ReadBytes(exe);
  const std::vector<uint8_t> image = MakePe({{0x400, 0x200}});
  ASSERT_EQ(whole.size(), image.size() + zip.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), whole.begin()));

  EXPECT_TRUE(utils.ExeHasAttachedStub());
  std::vector<uint8_t> stream;
  utils.GetZipFromExe(stream);
  EXPECT_EQ(std::string(stream.begin(), stream.end()), zip);
  TExeZip reader;
  reader.SetPassword("pw");
  reader.SetStream(stream);
  EXPECT_EQ(reader.ReadEntry("webapp/big.bin"), std::string(30000, 'z'));

  // The mapping outlives the reader that reads from it; moved, it stays valid.
  TMappedFile mapped = utils.MapZipFromExe();
  const TMappedFile moved = std::move(mapped);
  reader.SetStream(moved.Bytes());
  EXPECT_EQ(reader.ReadEntry("webapp/big.bin"), std::string(30000, 'z'));
  EXPECT_EQ(reader.ReadEntry("vtx.ini"), "[App]\nID=x\n");
}

TEST_F(ExeUtilsTest, NoAttachedDataIsFatal) {
  struct Case {
    const char* name;
    std::string exe;
  };
  const std::vector<Case> cases = {
      {"length equals the attach offset", MakeExe("bare.exe", {})},
      {"file missing", dir_.File("missing.exe")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TExeUtils utils(c.exe);
    EXPECT_FALSE(utils.ExeHasAttachedStub());
    FatalErrors fatal;
    std::vector<uint8_t> stream;
    EXPECT_THROW(utils.GetZipFromExe(stream), FatalErrors::Unwind);
    const std::string out = dir_.File("never.zip");
    EXPECT_THROW(utils.ExtractZipFromExe(out), FatalErrors::Unwind);
    EXPECT_FALSE(std::filesystem::exists(Utf8ToPath(out)));
    EXPECT_THROW((void)utils.MapZipFromExe(), FatalErrors::Unwind);
    ASSERT_EQ(fatal.calls.size(), 3u);
    for (const FatalCall& call : fatal.calls) {
      EXPECT_EQ(call.text, "This is not a valid Windows application");
      EXPECT_EQ(call.caption, "Error");
    }
  }
}

TEST_F(ExeUtilsTest, ASignedAppsArchiveStopsAtTheSignature) {
  std::ostringstream zip_bytes;
  TZipWriter writer(zip_bytes, "pw");
  writer.AddEntry("vtx.ini", "[App]\nID=x\n", {});
  writer.Finish();
  const std::string zip = zip_bytes.str();
  const std::string exe = dir_.File("signed.exe");
  test::WriteBytes(exe, SignedPe(std::vector<uint8_t>(zip.begin(), zip.end()), 0x5A8));

  // The archive and the signer's padding, none of the certificate table.
  TExeUtils utils(exe);
  EXPECT_TRUE(utils.ExeHasAttachedStub());
  std::vector<uint8_t> stream;
  utils.GetZipFromExe(stream);
  const std::string padded = zip + std::string((8 - (0x600 + zip.size()) % 8) % 8, '\0');
  ASSERT_NE(padded, zip) << "the fixture should need padding";
  EXPECT_EQ(std::string(stream.begin(), stream.end()), padded);
  const TMappedFile mapped = utils.MapZipFromExe();
  EXPECT_EQ(std::string(mapped.Bytes().begin(), mapped.Bytes().end()), padded);
  TExeZip reader;
  reader.SetPassword("pw");
  reader.SetStream(stream);
  EXPECT_EQ(reader.ReadEntry("vtx.ini"), "[App]\nID=x\n");

  // A signed runtime alone carries no archive.
  const std::string bare = dir_.File("bare-signed.exe");
  test::WriteBytes(bare, SignedPe({}));
  EXPECT_FALSE(TExeUtils(bare).ExeHasAttachedStub());

  // Data appended after signing: named, not read as the archive.
  std::vector<uint8_t> appended = test::ReadBytes(exe);
  appended.insert(appended.end(), zip.begin(), zip.end());
  const std::string late = dir_.File("appended.exe");
  test::WriteBytes(late, appended);
  EXPECT_THROW(TExeUtils(late).ExeHasAttachedStub(), ECertificateTableError);
  EXPECT_THROW(TExeUtils(late).GetZipFromExe(stream), ECertificateTableError);
}

TEST_F(ExeUtilsTest, DefaultFatalHandlerExitsWithCodeZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TExeUtils utils(MakeExe("bare.exe", {}));
  std::vector<uint8_t> stream;
  EXPECT_EXIT(utils.GetZipFromExe(stream), ::testing::ExitedWithCode(0),
              "This is not a valid Windows application");
}

TEST_F(ExeUtilsTest, DefaultConstructorUsesTheRunningExecutable) {
  auto os = platform::MakeFakeOs();
  os->executable_path = MakeExe("running.exe", {'P', 'K', 5, 6});
  platform::ScopedOs scoped(*os);
  TExeUtils utils;
  EXPECT_EQ(utils.ExePath(), os->executable_path);
  std::vector<uint8_t> stream;
  utils.GetZipFromExe(stream);
  EXPECT_EQ(stream, (std::vector<uint8_t>{'P', 'K', 5, 6}));
}

TEST_F(ExeUtilsTest, UnreadableHeadersAndFilesAreReported) {
  const std::string garbage = dir_.File("garbage.exe");
  test::WriteBytes(garbage, std::string("#!/bin/sh\necho not an image\n"));
  EXPECT_THROW(TExeUtils(garbage).ExeHasAttachedStub(), EExeFormatError);

  const std::string exe = MakeExe("runtime.exe", {});
  TExeUtils utils(exe);
  EXPECT_THROW(utils.AppendZipToExe(dir_.File("missing.zip"), exe), std::runtime_error);
  test::WriteBytes(dir_.File("a.zip"), std::string("PK"));
  EXPECT_THROW(utils.AppendZipToExe(dir_.File("a.zip"), dir_.File("missing.exe")),
               std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(Utf8ToPath(dir_.File("missing.exe"))));
}

TEST_F(ExeUtilsTest, AppendingToARealElfKeepsItRunning) {
  // /bin/true: stripped, its section header table ends the file.
  const std::string self = platform::MakeNativeOs()->ExecutablePath();
  if (self.empty() || ComputeAttachOffsetOfFile(self).format != TImageFormat::kElf64 ||
      !std::filesystem::exists("/bin/true")) {
    GTEST_SKIP() << "not an ELF system";
  }
  const std::string exe = dir_.File("true");
  std::filesystem::copy_file("/bin/true", Utf8ToPath(exe));
  TExeUtils utils(exe);
  ASSERT_EQ(ComputeAttachOffsetOfFile(exe).attach_offset,
            std::filesystem::file_size(Utf8ToPath(exe)));
  ASSERT_FALSE(utils.ExeHasAttachedStub());

  const std::string zip_path = dir_.File("app.zip");
  test::WriteBytes(zip_path, test::Pattern(12345));
  utils.AppendZipToExe(zip_path, exe);
  EXPECT_TRUE(utils.ExeHasAttachedStub());
  EXPECT_EQ(std::system(("'" + exe + "'").c_str()), 0);
  std::vector<uint8_t> stream;
  utils.GetZipFromExe(stream);
  EXPECT_EQ(stream, test::Pattern(12345));
}

}  // namespace
}  // namespace tessel::shared
