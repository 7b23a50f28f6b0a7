#include "shared/zip_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "archive_fixtures.h"
#include "shared/exe_zip.h"
#include "shared/program_constants.h"

namespace tessel::shared {
namespace {

using Bytes = std::vector<uint8_t>;
const std::string kPassword(kAppArchivePassword);

uint16_t Get16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b.at(at)) | static_cast<uint8_t>(b.at(at + 1))
                                                                    << 8);
}
uint32_t Get32(const std::string& b, size_t at) {
  return Get16(b, at) | static_cast<uint32_t>(Get16(b, at + 2)) << 16;
}

struct Entry {
  std::string name;
  std::string content;
  TDosDateTime when;
};

std::string Write(const std::vector<Entry>& entries) {
  std::ostringstream out;
  TZipWriter writer(out, kPassword);
  for (const Entry& e : entries) writer.AddEntry(e.name, e.content, e.when);
  writer.Finish();
  return out.str();
}

// Walks the archive record by record and checks every field the runtime's
// archives are defined by.
TEST(ZipWriter, WritesTheAppArchiveFormat) {
  const std::vector<Entry> entries = {
      {"vtx.ini", "[App]\nID=demo\n", {0x6B4A, 0x5A8C}},
      {"webapp/empty.css", "", {}},
      {"webapp/js/app.js", std::string(100000, 'x'), {0xBF7D, 0x5A8C}},
  };
  const std::string zip = Write(entries);

  size_t pos = 0;
  std::vector<uint32_t> offsets;
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    offsets.push_back(static_cast<uint32_t>(pos));
    EXPECT_EQ(Get32(zip, pos), 0x04034B50u);
    EXPECT_EQ(Get16(zip, pos + 4), 20);      // version needed
    EXPECT_EQ(Get16(zip, pos + 6), 0x0009);  // encrypted, data descriptor
    EXPECT_EQ(Get16(zip, pos + 8), 0);       // stored
    EXPECT_EQ(Get16(zip, pos + 10), e.when.time);
    EXPECT_EQ(Get16(zip, pos + 12), e.when.date);
    EXPECT_EQ(Get32(zip, pos + 14), 0u);  // CRC and sizes follow the data
    EXPECT_EQ(Get32(zip, pos + 18), 0u);
    EXPECT_EQ(Get32(zip, pos + 22), 0u);
    EXPECT_EQ(Get16(zip, pos + 26), e.name.size());
    EXPECT_EQ(Get16(zip, pos + 28), 0);
    EXPECT_EQ(zip.substr(pos + 30, e.name.size()), e.name);
    pos += 30 + e.name.size() + 12 + e.content.size();
    EXPECT_EQ(Get32(zip, pos), 0x08074B50u);  // descriptor with its signature
    EXPECT_EQ(Get32(zip, pos + 8), e.content.size() + 12);
    EXPECT_EQ(Get32(zip, pos + 12), e.content.size());
    pos += 16;
  }
  const size_t directory = pos;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(Get32(zip, pos), 0x02014B50u);
    EXPECT_EQ(Get16(zip, pos + 6), 20);
    EXPECT_EQ(Get16(zip, pos + 8), 0x0009);
    EXPECT_EQ(Get16(zip, pos + 10), 0);
    EXPECT_EQ(Get32(zip, pos + 20), e.content.size() + 12);
    EXPECT_EQ(Get32(zip, pos + 24), e.content.size());
    EXPECT_EQ(Get16(zip, pos + 30) + Get16(zip, pos + 32), 0);  // no extra field, no comment
    EXPECT_EQ(Get32(zip, pos + 42), offsets[i]);
    pos += 46 + e.name.size();
  }
  EXPECT_EQ(Get32(zip, pos), 0x06054B50u);
  EXPECT_EQ(Get16(zip, pos + 10), entries.size());
  EXPECT_EQ(Get32(zip, pos + 12), pos - directory);
  EXPECT_EQ(Get32(zip, pos + 16), directory);
  EXPECT_EQ(Get16(zip, pos + 20), 0);  // no archive comment
  EXPECT_EQ(pos + 22, zip.size());
}

// The password check byte is the high byte of the DOS time: Info-ZIP tests
// only that; libzip turns the time into time_t and back before comparing, so
// times across the day and the year must survive that trip.
TEST(ZipWriter, ArchivesOpenWithLibzipAndInfoZip) {
  std::vector<Entry> entries;
  const uint16_t times[] = {0x0000, 0x0821, 0x6B4A, 0xBF7D};  // 00:00 to 23:59:58
  const uint16_t dates[] = {0x0021, 0x5A8C, 0x5D6F};          // 1980-01-01, 2025-04-12, 2026-11-15
  int n = 0;
  for (const uint16_t t : times) {
    for (const uint16_t d : dates) {
      const Bytes content = test::Pattern(static_cast<size_t>(n) * 997, static_cast<uint8_t>(n));
      entries.push_back({"dir/entry-" + std::to_string(n++) + ".bin",
                         std::string(content.begin(), content.end()),
                         {t, d}});
    }
  }
  const std::string zip = Write(entries);

  TExeZip reader;
  reader.SetPassword(kPassword);
  const Bytes bytes(zip.begin(), zip.end());
  reader.SetStream(bytes);
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    EXPECT_TRUE(reader.ReadEntry(e.name) == e.content);
  }

  if (std::system("unzip -v > /dev/null 2>&1") != 0) GTEST_SKIP() << "no Info-ZIP unzip";
  test::TempDir dir;
  test::WriteBytes(dir.File("app.zip"), zip);
  const std::string unzip = "cd '" + dir.path().string() + "' && unzip -q -o -P ";
  EXPECT_NE(std::system((unzip + "wrong app.zip -d bad > /dev/null 2>&1").c_str()), 0);
  ASSERT_EQ(std::system((unzip + kPassword + " app.zip -d out").c_str()), 0);
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    const Bytes got = test::ReadBytes(dir.File("out/" + e.name));
    EXPECT_TRUE(std::string(got.begin(), got.end()) == e.content);
  }
}

TEST(ZipWriter, DosDateTimeIsUtcAndClamped) {
  auto utc = [](int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
#ifdef _WIN32
    return _mkgmtime(&tm);
#else
    return timegm(&tm);
#endif
  };
  const struct {
    std::time_t t;
    uint16_t time;
    uint16_t date;
  } cases[] = {
      {utc(2025, 4, 12, 13, 26, 21), 13 << 11 | 26 << 5 | 10, 45 << 9 | 4 << 5 | 12},
      {utc(1980, 1, 1, 0, 0, 0), 0, 1 << 5 | 1},
      {utc(1975, 6, 1, 12, 0, 0), 0, 1 << 5 | 1},  // before 1980: the earliest
      {utc(2107, 12, 31, 23, 59, 59), 23 << 11 | 59 << 5 | 29, 127 << 9 | 12 << 5 | 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.t);
    const TDosDateTime dos = ToDosDateTime(c.t);
    EXPECT_EQ(dos.time, c.time);
    EXPECT_EQ(dos.date, c.date);
  }
}

TEST(ZipWriter, RefusesWhatTheFormatCannotHold) {
  std::ostringstream out;
  TZipWriter writer(out, kPassword);
  EXPECT_THROW(writer.AddEntry("", "x", {}), EZipWriteError);
  EXPECT_THROW(writer.AddEntry(std::string(70000, 'n'), "x", {}), EZipWriteError);
  writer.AddEntry("ok", "x", {});
  writer.Finish();
  EXPECT_THROW(writer.AddEntry("late", "x", {}), EZipWriteError);
  EXPECT_THROW(writer.Finish(), EZipWriteError);
}

// The same entries give the same bytes: nothing is drawn at random. An
// entry's encryption header follows its name and content, so a change of
// either changes it; a content that changes between the writer's two reads
// is refused rather than written with a header that does not fit it.
TEST(ZipWriter, TheSameEntriesGiveTheSameBytes) {
  const std::vector<Entry> entries = {{"a.txt", "alpha", {0x6B4A, 0x5A8C}},
                                      {"b.txt", "alpha", {0x6B4A, 0x5A8C}}};
  const std::string zip = Write(entries);
  EXPECT_EQ(Write(entries), zip);
  // The two headers differ though the contents are equal (each follows a
  // 30-byte local header and a 5-byte name).
  EXPECT_NE(zip.substr(35, 12), zip.substr(35 + 12 + 5 + 16 + 35, 12));
  std::vector<Entry> changed = entries;
  changed[1].content = "alphA";
  const std::string other = Write(changed);
  EXPECT_EQ(other.substr(0, 35 + 12 + 5 + 16), zip.substr(0, 35 + 12 + 5 + 16));
  EXPECT_NE(other.substr(35 + 12 + 5 + 16 + 35, 12), zip.substr(35 + 12 + 5 + 16 + 35, 12));

  // A stream whose bytes differ on the second read.
  class Shifting : public std::streambuf {
   protected:
    int_type underflow() override {
      if (served_ >= 3) return traits_type::eof();
      current_ = static_cast<char>('a' + reads_ + served_);
      setg(&current_, &current_, &current_ + 1);
      ++served_;
      return traits_type::to_int_type(current_);
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
      if (off == 0 && dir == std::ios_base::cur) return served_;
      return -1;
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
      if (pos != 0) return -1;
      ++reads_;
      served_ = 0;
      setg(nullptr, nullptr, nullptr);
      return 0;
    }

   private:
    char current_ = 0;
    int reads_ = 0;
    int served_ = 0;
  };
  Shifting buffer;
  std::istream shifting(&buffer);
  std::ostringstream out;
  TZipWriter writer(out, kPassword);
  try {
    writer.AddEntry("moving.txt", shifting, {});
    ADD_FAILURE() << "written";
  } catch (const EZipWriteError& e) {
    EXPECT_NE(std::string(e.what()).find("changed while it was packed"), std::string::npos)
        << e.what();
  }
}

TEST(ZipWriter, WriteZipFileIsAllOrNothing) {
  test::TempDir dir;
  test::WriteBytes(dir.File("a.txt"), std::string("alpha"));
  test::WriteBytes(dir.File("b.txt"), std::string(30000, 'b'));
  const std::string zip_path = dir.File("app.zip");

  std::vector<uint64_t> progress;
  WriteZipFile(zip_path, {{"a.txt", dir.File("a.txt")}, {"sub/b.txt", dir.File("b.txt")}},
               kPassword, {}, [&](uint64_t written) { progress.push_back(written); });
  EXPECT_EQ(progress.back(), 30005u);
  const Bytes good = test::ReadBytes(zip_path);
  TExeZip reader;
  reader.SetPassword(kPassword);
  reader.SetStream(good);
  EXPECT_EQ(reader.ReadEntry("sub/b.txt"), std::string(30000, 'b'));

  // A source that cannot be read: the old archive stays, no temporary file.
  try {
    WriteZipFile(zip_path, {{"a.txt", dir.File("a.txt")}, {"gone", dir.File("missing.txt")}},
                 kPassword);
    ADD_FAILURE() << "written";
  } catch (const EZipWriteError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.txt"), std::string::npos) << e.what();
  }
  EXPECT_EQ(test::ReadBytes(zip_path), good);
  size_t files = 0;
  for ([[maybe_unused]] const auto& f : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 3u);
}

}  // namespace
}  // namespace tessel::shared
