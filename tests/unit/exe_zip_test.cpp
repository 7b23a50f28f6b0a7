#include "shared/exe_zip.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "archive_fixtures.h"
#include "shared/program_constants.h"
#include "shared/zip_writer.h"

namespace tessel::shared {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kPassword(kAppArchivePassword);

struct Entry {
  std::string name;
  std::string content;
};

Bytes WriteArchive(const std::vector<Entry>& entries, const std::string& password = kPassword) {
  std::ostringstream out;
  TZipWriter writer(out, password);
  for (const Entry& e : entries) writer.AddEntry(e.name, e.content, {});
  writer.Finish();
  const std::string s = out.str();
  return Bytes(s.begin(), s.end());
}

uint32_t Get32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

TExeZip OpenArchive(const Bytes& archive, const std::string& password = kPassword) {
  TExeZip zip;
  zip.SetPassword(password);
  zip.SetStream(archive);
  return zip;
}

std::string Extract(const TExeZip& zip, std::string_view name) {
  std::ostringstream out;
  zip.ExtractToStream(name, out);
  return out.str();
}

TEST(ExeZip, FindFileMatchesWholeNamesFoldingAsciiOnly) {
  const Bytes archive = WriteArchive({{"vtx.ini", "ini"},
                                      {"webapp/index.html", "<html>"},
                                      {"webapp/\xC3\xA9t\xC3\xA9.txt", "summer"},
                                      {"Web App/Read Me.TXT", "spaces"}});
  const TExeZip zip = OpenArchive(archive);
  const struct {
    const char* request;
    int64_t expected;
  } cases[] = {
      {"vtx.ini", 0},
      {"VTX.INI", 0},
      {"Vtx.Ini", 0},
      {"webapp/index.html", 1},
      {"WEBAPP/INDEX.HTML", 1},
      {"webapp\\index.html", -1},  // '\' is not '/'
      {"/webapp/index.html", -1},  // whole names only
      {"webapp/index.htm", -1},    // no prefixes
      {"webapp/index.html ", -1},  // no trimming
      {"vtx", -1},
      {"", -1},
      {"webapp/\xC3\xA9t\xC3\xA9.txt", 2},
      {"WEBAPP/\xC3\xA9T\xC3\xA9.TXT", 2},   // A-Z folded, the UTF-8 bytes match exactly
      {"webapp/\xC3\x89t\xC3\x89.txt", -1},  // É is not é: only ASCII letters fold
      {"web app/read me.txt", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(zip.FindFile(c.request), c.expected);
  }
  EXPECT_EQ(Extract(zip, "WebApp/Index.HTML"), "<html>");
}

TEST(ExeZip, LastMatchInCentralDirectoryWins) {
  const Bytes archive =
      WriteArchive({{"a.txt", "first"}, {"other", "x"}, {"A.TXT", "second"}, {"b", "y"}});
  const TExeZip zip = OpenArchive(archive);
  EXPECT_EQ(zip.FindFile("a.txt"), 2);
  EXPECT_EQ(Extract(zip, "a.txt"), "second");
  const std::vector<TZipEntryInfo> entries = zip.Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[2].name, "A.TXT");
}

TEST(ExeZip, ExtractsContentExactly) {
  const std::vector<Entry> entries = {
      {"empty", ""},
      {"one", "1"},
      {"binary", std::string(reinterpret_cast<const char*>(test::Pattern(70000).data()), 70000)},
  };
  const Bytes archive = WriteArchive(entries);  // the reader does not copy it
  const TExeZip zip = OpenArchive(archive);
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    EXPECT_TRUE(Extract(zip, e.name) == e.content);
    EXPECT_TRUE(zip.ReadEntry(e.name) == e.content);  // present even when empty
  }
  const std::vector<TZipEntryInfo> info = zip.Entries();
  EXPECT_EQ(info[0].size, 0u);
  EXPECT_EQ(info[0].compressed_size, 12u);
  EXPECT_TRUE(info[0].encrypted);
}

TEST(ExeZip, AbsentOrUnreadableEntriesWriteNothing) {
  const Bytes archive = WriteArchive({{"vtx.ini", "[App]"}, {"page.html", "<p>"}});
  test::TempDir dir;

  // An absent entry extracted into a file created just before: length 0.
  const TExeZip zip = OpenArchive(archive);
  const std::string path = dir.File("out.bin");
  {
    std::ofstream file(Utf8ToPath(path), std::ios::binary);
    zip.ExtractToStream("missing.html", file);
  }
  EXPECT_EQ(std::filesystem::file_size(Utf8ToPath(path)), 0u);
  EXPECT_EQ(zip.ReadEntry("missing.html"), std::nullopt);

  // Wrong password: nothing at all, not even the bytes before the failure.
  TExeZip wrong = OpenArchive(archive, "not the password");
  EXPECT_EQ(Extract(wrong, "vtx.ini"), "");
  EXPECT_EQ(wrong.ReadEntry("vtx.ini"), std::nullopt);
  // The password applies to every later read.
  wrong.SetPassword(kPassword);
  EXPECT_EQ(Extract(wrong, "vtx.ini"), "[App]");

  // Damaged data: the CRC check fails at the end of the entry.
  Bytes damaged = archive;
  damaged[30 + 7 + 12 + 2] ^= 0x01;  // third byte of vtx.ini's data
  EXPECT_EQ(Extract(OpenArchive(damaged), "vtx.ini"), "");
  EXPECT_EQ(Extract(OpenArchive(damaged), "page.html"), "<p>");

  // Strong encryption (flag bit 6), which libzip cannot decode.
  Bytes strong = archive;
  const size_t directory = Get32(strong, strong.size() - 22 + 16);
  strong[directory + 8] |= 0x40;
  EXPECT_EQ(Extract(OpenArchive(strong), "vtx.ini"), "");
  EXPECT_EQ(Extract(OpenArchive(strong), "page.html"), "<p>");
}

TEST(ExeZip, NeverOpenedReader) {
  TExeZip zip;
  EXPECT_FALSE(zip.IsOpen());
  EXPECT_EQ(zip.FindFile("vtx.ini"), -1);
  std::ostringstream out;
  EXPECT_THROW(zip.ExtractToStream("vtx.ini", out), EZipError);
  EXPECT_THROW((void)zip.ReadEntry("vtx.ini"), EZipError);
  EXPECT_TRUE(zip.Entries().empty());
}

struct BadArchive {
  const char* name;
  Bytes data;
  const char* message_part;
};

TEST(ExeZip, BadArchivesFailToOpenWithANamedError) {
  const Bytes good = WriteArchive({{"vtx.ini", "[App]"}, {"webapp/index.html", "<html></html>"}});
  const size_t end_record = good.size() - 22;
  const size_t directory = Get32(good, end_record + 16);
  auto with = [](Bytes b, auto&& change) {
    change(b);
    return b;
  };
  auto put32 = [](Bytes& b, size_t at, uint32_t v) { test::Put32(b, at, v); };

  const std::vector<BadArchive> cases = {
      {"empty", {}, "too short"},
      {"garbage", test::Pattern(5000), "no end-of-central-directory record"},
      {"cut before the end record", Bytes(good.begin(), good.end() - 10), "end-of-central"},
      {"cut inside the data", Bytes(good.begin(), good.begin() + 40), "end-of-central"},
      {"leading part missing", Bytes(good.begin() + 20, good.end()), "central directory"},
      {"central directory beyond the data",
       with(good, [&](Bytes& b) { put32(b, end_record + 16, 0x7FFFFFF0); }), "central directory"},
      {"central directory larger than the data",
       with(good, [&](Bytes& b) { put32(b, end_record + 12, 0x10000); }), "central directory"},
      {"local header offset lies",
       with(good, [&](Bytes& b) { put32(b, directory + 42, 0x00FFFFFF); }), "local header offset"},
      {"damaged central directory entry", with(good, [&](Bytes& b) { b[directory] = 'X'; }),
       "central directory entry 0"},
      {"multi-disk", with(good, [&](Bytes& b) { b[end_record + 4] = 1; }), "disk"},
  };
  for (const BadArchive& c : cases) {
    SCOPED_TRACE(c.name);
    TExeZip zip;
    zip.SetPassword(kPassword);
    try {
      zip.SetStream(c.data);
      ADD_FAILURE() << "opened";
    } catch (const EZipError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_EQ(zip.FindFile("vtx.ini"), -1);
  }
}

TEST(ExeZip, ReopeningReplacesTheArchive) {
  const Bytes first = WriteArchive({{"a", "1"}});
  const Bytes second = WriteArchive({{"b", "2"}});
  TExeZip zip = OpenArchive(first);
  zip.SetStream(second);
  EXPECT_EQ(zip.FindFile("a"), -1);
  EXPECT_EQ(Extract(zip, "b"), "2");
  EXPECT_THROW(zip.SetStream(Bytes(10, 0)), EZipError);
  EXPECT_EQ(zip.FindFile("b"), -1);
}

// Archives other tools write: deflated entries, encrypted by libzip itself.
TEST(ExeZip, ReadsDeflatedEncryptedEntriesFromLibzip) {
  const std::string text(20000, 'a');
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, nullptr);
  ASSERT_NE(buffer, nullptr);
  zip_source_keep(buffer);
  zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, nullptr);
  ASSERT_NE(za, nullptr);
  zip_source_t* src = zip_source_buffer(za, text.data(), text.size(), 0);
  const zip_int64_t index = zip_file_add(za, "webapp/Deflated.txt", src, 0);
  ASSERT_GE(index, 0);
  zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9);
  zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), ZIP_EM_TRAD_PKWARE,
                          kPassword.c_str());
  ASSERT_EQ(zip_close(za), 0);
  zip_stat_t st;
  ASSERT_EQ(zip_source_stat(buffer, &st), 0);
  Bytes archive(st.size);
  ASSERT_EQ(zip_source_open(buffer), 0);
  ASSERT_EQ(zip_source_read(buffer, archive.data(), archive.size()),
            static_cast<zip_int64_t>(archive.size()));
  zip_source_close(buffer);
  zip_source_free(buffer);

  ASSERT_LT(archive.size(), 1000u);  // really deflated
  const TExeZip zip = OpenArchive(archive);
  EXPECT_EQ(Extract(zip, "WEBAPP/deflated.TXT"), text);
  EXPECT_EQ(Extract(OpenArchive(archive, "wrong"), "webapp/Deflated.txt"), "");
}

std::string AsText(const Bytes& b) { return {b.begin(), b.end()}; }

// Bytes a compressor cannot shrink, and bytes it can.
std::string Noise(size_t size) { return AsText(test::Pattern(size, 3)); }
std::string Prose(size_t size) {
  std::string s;
  while (s.size() < size) s += "The quick brown fox " + std::to_string(s.size() % 977) + ".\n";
  s.resize(size);
  return s;
}

// Both directions against Info-ZIP: what we write it decrypts to the same
// bytes we read, and what it writes (stored or deflated) we read as it does.
TEST(ExeZip, AgreesWithInfoZip) {
  if (std::system("zip -v > /dev/null 2>&1 && unzip -v > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no Info-ZIP zip and unzip";
  }
  const std::vector<Entry> files = {
      {"vtx.ini", "[App]\nID=a\n"},
      {"empty.txt", ""},
      {"one.bin", "\x01"},
      {"webapp/noise.bin", Noise(3'000'000)},
      {"webapp/prose.txt", Prose(200'000)},
  };
  test::TempDir dir;
  for (const Entry& e : files) test::WriteBytes(dir.File("src/" + e.name), e.content);
  test::WriteBytes(dir.File("ours.zip"), WriteArchive(files));

  const std::string names = "vtx.ini empty.txt one.bin webapp/noise.bin webapp/prose.txt";
  for (const char* level : {"-0", "-6"}) {
    const std::string zip = dir.File(std::string("info") + level + ".zip");
    std::string command = "cd '" + dir.File("src") + "' && zip -q -X ";
    command.append(level).append(" -P ").append(kPassword).append(" '");
    command.append(zip).append("' ").append(names);
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  for (const char* archive_name : {"ours.zip", "info-0.zip", "info-6.zip"}) {
    SCOPED_TRACE(archive_name);
    const std::string path = dir.File(archive_name);
    const Bytes archive = test::ReadBytes(path);
    const TExeZip zip = OpenArchive(archive);
    for (const Entry& e : files) {
      SCOPED_TRACE(e.name);
      const std::optional<std::string> ours = zip.ReadEntry(e.name);
      ASSERT_TRUE(ours.has_value());
      EXPECT_TRUE(*ours == e.content);
      std::string unzip = "unzip -p -P " + kPassword;
      unzip.append(" '").append(path).append("' '").append(e.name).append("' > '");
      unzip.append(dir.File("out")).append("'");
      ASSERT_EQ(std::system(unzip.c_str()), 0);
      EXPECT_TRUE(AsText(test::ReadBytes(dir.File("out"))) == *ours);
    }
    EXPECT_EQ(OpenArchive(archive, "wrong").ReadEntry("webapp/prose.txt"), std::nullopt);
  }
}

// Reading in blocks gives the same bytes as reading whole, whatever the
// block size; a rewound reader starts over; skipping lands where reading
// would; a damaged entry fails on the block that ends it, never passing for
// complete, however it got there.
TEST(ExeZip, EntryReaderStreamsTheSameBytes) {
  const std::string noise = Noise(300'001);
  const Bytes ours = WriteArchive({{"a.bin", noise}, {"empty", ""}});
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, nullptr);
  ASSERT_NE(buffer, nullptr);
  zip_source_keep(buffer);
  zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, nullptr);
  ASSERT_NE(za, nullptr);
  const std::string prose = Prose(300'001);
  for (const char* name : {"a.bin", "plain.bin", "stored.bin"}) {
    zip_source_t* src = zip_source_buffer(za, prose.data(), prose.size(), 0);
    const zip_int64_t index = zip_file_add(za, name, src, 0);
    ASSERT_GE(index, 0);
    const bool stored = std::string_view(name) == "stored.bin";
    zip_set_file_compression(za, static_cast<zip_uint64_t>(index),
                             stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, stored ? 0 : 6);
    if (std::string_view(name) == "a.bin") {
      zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), ZIP_EM_TRAD_PKWARE,
                              kPassword.c_str());
    }
  }
  ASSERT_EQ(zip_close(za), 0);
  zip_stat_t st;
  ASSERT_EQ(zip_source_stat(buffer, &st), 0);
  Bytes deflated(st.size);
  ASSERT_EQ(zip_source_open(buffer), 0);
  ASSERT_EQ(zip_source_read(buffer, deflated.data(), deflated.size()),
            static_cast<zip_int64_t>(deflated.size()));
  zip_source_close(buffer);
  zip_source_free(buffer);

  const struct {
    const char* what;
    const Bytes* archive;
    const char* name;
    const std::string* content;
  } cases[] = {
      {"stored, encrypted", &ours, "a.bin", &noise},
      {"deflated, encrypted", &deflated, "a.bin", &prose},
      {"deflated, plain", &deflated, "plain.bin", &prose},
      {"stored, plain", &deflated, "stored.bin", &prose},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TExeZip zip = OpenArchive(*c.archive);
    for (const size_t block : {size_t{1} << 20, size_t{4093}, size_t{1}}) {
      const auto reader = zip.OpenEntry(c.name);
      ASSERT_NE(reader, nullptr);
      EXPECT_EQ(reader->Size(), c.content->size());
      std::string got;
      std::vector<uint8_t> buf(block);
      for (int64_t n; (n = reader->Read(buf)) > 0;) got.append(buf.begin(), buf.begin() + n);
      EXPECT_TRUE(got == *c.content) << "block " << block;
      EXPECT_EQ(reader->Position(), c.content->size());
      reader->Rewind();
      ASSERT_EQ(reader->Read(buf), static_cast<int64_t>(std::min(block, c.content->size())));
      EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1, c.content->begin()));
    }
    // Skipped from the start, or after a read; the cipher's and inflate's
    // 64 KB blocks crossed; past the end stops at the end.
    const uint64_t size = c.content->size();
    const struct {
      uint64_t read_first;
      uint64_t skip;
      int64_t skipped;
    } skips[] = {{0, 0, 0},
                 {0, 1, 1},
                 {0, 65535, 65535},
                 {10, 65536, 65536},
                 {70'000, 200'000, 200'000},
                 {0, size - 1, static_cast<int64_t>(size) - 1},
                 {1, size, static_cast<int64_t>(size) - 1}};
    for (const auto& k : skips) {
      SCOPED_TRACE(testing::Message() << "read " << k.read_first << ", skip " << k.skip);
      const auto reader = zip.OpenEntry(c.name);
      ASSERT_NE(reader, nullptr);
      std::vector<uint8_t> first(k.read_first);
      ASSERT_EQ(reader->Read(first), static_cast<int64_t>(k.read_first));
      EXPECT_EQ(reader->Skip(k.skip), k.skipped);
      EXPECT_EQ(reader->Position(), k.read_first + static_cast<uint64_t>(k.skipped));
      std::string rest;
      std::vector<uint8_t> buf(65536);
      int64_t n = 0;
      while ((n = reader->Read(buf)) > 0) rest.append(buf.begin(), buf.begin() + n);
      EXPECT_EQ(n, 0);
      EXPECT_TRUE(rest == c.content->substr(k.read_first + static_cast<uint64_t>(k.skipped)));
      EXPECT_EQ(reader->Skip(5), 0);
    }
  }

  // The last byte of the stored entry flipped: every block but the last reads.
  Bytes damaged = ours;
  damaged[30 + 5 + 12 + noise.size() - 1] ^= 0x20;
  const TExeZip zip = OpenArchive(damaged);
  const auto reader = zip.OpenEntry("a.bin");
  ASSERT_NE(reader, nullptr);
  std::vector<uint8_t> buf(100'000);
  EXPECT_EQ(reader->Read(buf), 100'000);
  EXPECT_EQ(reader->Read(buf), 100'000);
  EXPECT_EQ(reader->Read(buf), 100'000);
  EXPECT_EQ(reader->Read(buf), -1);
  EXPECT_EQ(reader->Read(buf), -1);
  EXPECT_EQ(reader->Skip(1), -1);
  // Skipping to the end checks the CRC as reading does; short of it, not yet.
  reader->Rewind();
  EXPECT_EQ(reader->Skip(noise.size() - 1), static_cast<int64_t>(noise.size()) - 1);
  EXPECT_EQ(reader->Read(buf), -1);
  reader->Rewind();
  EXPECT_EQ(reader->Skip(noise.size() + 1), -1);
  EXPECT_EQ(zip.ReadEntry("a.bin"), std::nullopt);
  EXPECT_EQ(zip.ReadEntry("empty"), "");
}

// A skip starts from the keys an earlier reader left at the last megabyte
// before its target: the bytes from there on and the CRC verdict are the
// same as after running over everything. Shown by damaging the archive
// before the mark once the marks are there (the archive must stay unchanged
// while open, so only this test does that): a reader that starts over fails
// at the end, one that skips past the damage does not.
TEST(ExeZip, SkipsStartFromKeyMarksOfEarlierReaders) {
  std::mt19937 random(11);
  std::string content(3 * (size_t{1} << 20) + 5, '\0');
  for (char& c : content) c = static_cast<char>(random());
  Bytes archive = WriteArchive({{"a.bin", content}});
  const TExeZip zip = OpenArchive(archive);
  const uint64_t mb = uint64_t{1} << 20;
  const auto rest_after = [&](uint64_t read_first, uint64_t skip) {
    const auto reader = zip.OpenEntry("a.bin");
    std::vector<uint8_t> first(read_first);
    if (reader->Read(first) != static_cast<int64_t>(read_first)) return std::string("failed");
    if (reader->Skip(skip) != static_cast<int64_t>(skip)) return std::string("failed");
    std::string rest;
    std::vector<uint8_t> buf(100'000);
    int64_t n = 0;
    while ((n = reader->Read(buf)) > 0) rest.append(buf.begin(), buf.begin() + n);
    return n == 0 ? rest : std::string("failed");
  };
  // The first reader runs over every byte and leaves the marks.
  ASSERT_TRUE(rest_after(0, 0) == content);

  archive[30 + 5 + 12 + 1000] ^= 0x40;
  EXPECT_EQ(rest_after(0, 0), "failed");
  const struct {
    uint64_t read_first;
    uint64_t skip;
  } cases[] = {{0, 2 * mb}, {0, 2 * mb + 12345}, {10, 3 * mb - 8}, {0, 3 * mb + 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "read " << c.read_first << ", skip " << c.skip);
    EXPECT_TRUE(rest_after(c.read_first, c.skip) == content.substr(c.read_first + c.skip));
  }
  // Short of the first mark the damage is run over, and shows at the end.
  EXPECT_EQ(rest_after(0, mb - 1), "failed");
  // Marks belong to the archive that is open: another reader of the same
  // bytes starts without them.
  const TExeZip fresh = OpenArchive(archive);
  const auto reader = fresh.OpenEntry("a.bin");
  EXPECT_EQ(reader->Skip(2 * mb), static_cast<int64_t>(2 * mb));
  std::vector<uint8_t> buf(2 * mb);
  EXPECT_EQ(reader->Read(buf), -1);
}

// Opening reads the central directory only: entries whose local header or
// sizes lie open, then read as unreadable, and only they; nothing is read
// outside the archive.
TEST(ExeZip, EntriesThatLieReadAsUnreadable) {
  const Bytes good = WriteArchive({{"a.txt", "first entry"}, {"b.txt", "second"}});
  const size_t directory = Get32(good, good.size() - 22 + 16);
  auto with = [](Bytes b, auto&& change) {
    change(b);
    return b;
  };
  const struct {
    const char* what;
    Bytes archive;
  } cases[] = {
      {"local header offset points into data",
       with(good, [&](Bytes& b) { test::Put32(b, directory + 42, 5); })},
      {"compressed size runs into the directory",
       with(good, [&](Bytes& b) { test::Put32(b, directory + 20, 0x7FFFFFFF); })},
      {"compressed size shorter than the encryption header",
       with(good, [&](Bytes& b) { test::Put32(b, directory + 20, 11); })},
      {"uncompressed size larger than the data",
       with(good, [&](Bytes& b) { test::Put32(b, directory + 24, 12); })},
      {"uncompressed size smaller than the data",
       with(good, [&](Bytes& b) { test::Put32(b, directory + 24, 10); })},
      {"local name length runs past the data",
       with(good, [&](Bytes& b) { test::Put16(b, 26, 0xFFFF); })},
      {"local extra length runs past the data",
       with(good, [&](Bytes& b) { test::Put16(b, 28, 0xFFFF); })},
      {"unknown method", with(good, [&](Bytes& b) { test::Put16(b, directory + 10, 12); })},
      {"deflated, but the data is not",
       with(good, [&](Bytes& b) { test::Put16(b, directory + 10, 8); })},
      {"CRC differs", with(good, [&](Bytes& b) { b[directory + 16] ^= 1; })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TExeZip zip = OpenArchive(c.archive);
    EXPECT_EQ(zip.FindFile("a.txt"), 0);
    EXPECT_EQ(zip.ReadEntry("a.txt"), std::nullopt);
    EXPECT_EQ(Extract(zip, "a.txt"), "");
    if (const auto reader = zip.OpenEntry("a.txt")) {
      std::vector<uint8_t> buf(64);
      int64_t n = 0;
      uint64_t total = 0;
      while ((n = reader->Read(buf)) > 0) total += static_cast<uint64_t>(n);
      EXPECT_EQ(n, -1);
      EXPECT_LE(total, reader->Size());
    }
    EXPECT_EQ(zip.ReadEntry("b.txt"), "second");
  }
}

}  // namespace
}  // namespace tessel::shared
