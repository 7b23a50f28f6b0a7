#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_fixtures.h"
#include "platform/engine_basics.h"

namespace tessel::platform {
namespace {

namespace fs = std::filesystem;
using shared::Utf8ToPath;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

TEST(ParentPath, DropsTheLastComponentAsStdFilesystemDoes) {
  struct Case {
    const char* path;
    const char* parent;
  };
  std::vector<Case> cases = {
      {"/a/b/c", "/a/b"}, {"a/b", "a"}, {"a/b/", "a/b"}, {"a//b", "a"},
      {"/a", "/"},        {"/", "/"},   {"a", ""},       {"", ""},
  };
#ifdef _WIN32
  cases.insert(cases.end(), {{"C:\\a\\b", "C:\\a"},
                             {"C:\\a", "C:\\"},
                             {"C:\\", "C:\\"},
                             {"C:a", "C:"},
                             {"C:/a/b\\c", "C:/a/b"},
                             {"\\\\server\\share\\dir\\f", "\\\\server\\share\\dir"},
                             {"\\\\server\\share\\f", "\\\\server\\share\\"}});
#endif
  for (const Case& c : cases) {
    EXPECT_EQ(ParentPath(c.path), c.parent) << c.path;
#ifndef _WIN32
    EXPECT_EQ(ParentPath(c.path), fs::path(c.path).parent_path().string()) << c.path;
#endif
  }
}

TEST(FileIo, KindsAndSizesOfWhatAPathNames) {
  const TempDir dir;
  const std::string file = dir.File("d\xC3\xA4ta.bin");
  WriteBytes(file, std::string(1234, 'x'));
  const std::string folder = dir.File("sub");
  fs::create_directories(Utf8ToPath(folder));

  EXPECT_EQ(KindOfPath(file), PathKind::kFile);
  EXPECT_EQ(KindOfPath(folder), PathKind::kDirectory);
  EXPECT_EQ(KindOfPath(dir.File("missing")), PathKind::kNone);
  EXPECT_EQ(KindOfPath(""), PathKind::kNone);
  EXPECT_EQ(KindOfPath(file + std::string(1, '\0') + "x"), PathKind::kNone);
  EXPECT_EQ(RegularFileSize(file), 1234U);
  EXPECT_EQ(RegularFileSize(folder), std::nullopt);
  EXPECT_EQ(RegularFileSize(dir.File("missing")), std::nullopt);
  EXPECT_TRUE(IsRealDirectory(folder));
  EXPECT_FALSE(IsRealDirectory(file));

  // Links are followed, except by the question whether a folder is real.
  std::error_code ec;
  fs::create_symlink(Utf8ToPath(file), Utf8ToPath(dir.File("file-link")), ec);
  fs::create_directory_symlink(Utf8ToPath(folder), Utf8ToPath(dir.File("dir-link")), ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  EXPECT_EQ(KindOfPath(dir.File("file-link")), PathKind::kFile);
  EXPECT_EQ(RegularFileSize(dir.File("file-link")), 1234U);
  EXPECT_EQ(KindOfPath(dir.File("dir-link")), PathKind::kDirectory);
  EXPECT_FALSE(IsRealDirectory(dir.File("dir-link")));
}

TEST(FileIo, RemovingTakesFilesAndLinksButNeverAFolder) {
  const TempDir dir;
  const std::string file = dir.File("gone.txt");
  WriteBytes(file, "x");
  const std::string folder = dir.File("kept");
  WriteBytes(dir.File("kept/inside.txt"), "y");

  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(fs::exists(Utf8ToPath(file)));
  EXPECT_FALSE(RemoveFile(file));
  EXPECT_FALSE(RemoveFile(folder));
  EXPECT_EQ(ReadText(dir.File("kept/inside.txt")), "y");

  std::error_code ec;
  fs::create_directory_symlink(Utf8ToPath(folder), Utf8ToPath(dir.File("link")), ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  EXPECT_TRUE(RemoveFile(dir.File("link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Utf8ToPath(dir.File("link")))));
  EXPECT_EQ(ReadText(dir.File("kept/inside.txt")), "y");
}

TEST(FileIo, RenamingReplacesTheTarget) {
  const TempDir dir;
  WriteBytes(dir.File("new"), "new");
  WriteBytes(dir.File("old"), "old content");
  EXPECT_TRUE(RenameFile(dir.File("new"), dir.File("old")));
  EXPECT_EQ(ReadText(dir.File("old")), "new");
  EXPECT_FALSE(fs::exists(Utf8ToPath(dir.File("new"))));
  EXPECT_FALSE(RenameFile(dir.File("new"), dir.File("other")));
}

TEST(FileIo, CreatingFoldersMakesEveryMissingParent) {
  const TempDir dir;
  EXPECT_TRUE(CreateDirectoryPath(dir.File("a/b\xC3\xBC/c")));
  EXPECT_TRUE(fs::is_directory(Utf8ToPath(dir.File("a/b\xC3\xBC/c"))));
  EXPECT_TRUE(CreateDirectoryPath(dir.File("a")));  // there already
  WriteBytes(dir.File("file"), "x");
  EXPECT_FALSE(CreateDirectoryPath(dir.File("file")));
  EXPECT_FALSE(CreateDirectoryPath(dir.File("file/below")));
  EXPECT_FALSE(CreateDirectoryPath(""));
}

// Through an open file: what the engine's file stream and the archive copy
// rely on.
TEST(FileIo, OpenFilesAreWrittenSizedSoughtAndResized) {
  const TempDir dir;
  const std::string path = dir.File("\xE6\x96\x87\xE4\xBB\xB6.bin");  // CJK name
  {
    const FileHandle file = OpenFile(path, "w+b");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(WriteToFile(file.get(), "0123456789"));
    EXPECT_EQ(OpenFileSize(file.get()), 10U);  // buffered bytes count

    char two[2] = {};
    ASSERT_TRUE(SeekFile(file.get(), 4));
    ASSERT_EQ(std::fread(two, 1, 2, file.get()), 2U);
    EXPECT_EQ(std::string(two, 2), "45");

    ASSERT_TRUE(ResizeOpenFile(file.get(), 4));
    EXPECT_EQ(OpenFileSize(file.get()), 4U);
    ASSERT_TRUE(ResizeOpenFile(file.get(), 6));
    EXPECT_EQ(OpenFileSize(file.get()), 6U);
  }
  // The name is the UTF-8 one, not its bytes read in some code page.
  EXPECT_EQ(ReadText(path), std::string("0123\0\0", 6));

  errno = 0;
  EXPECT_EQ(OpenFile(path + std::string(1, '\0'), "rb"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(OpenFile(dir.File("missing/file"), "wb"), nullptr);
}

// The engine's file stream (page captures) over these calls: positions are
// its own, reads stop at the end, the size follows writes and SetSize.
TEST(FileStream, ReadsWritesSeeksAndResizesAtItsOwnPosition) {
  const TempDir dir;
  std::shared_ptr<Stream> stream;
  ASSERT_EQ(CreateFileStream(dir.File("capture.png"), &stream), kSOk);
  std::uint32_t count = 0;
  ASSERT_EQ(stream->Write("abcdef", 6, &count), kSOk);
  EXPECT_EQ(count, 6U);

  std::uint64_t position = 0;
  ASSERT_EQ(stream->Seek(-4, StreamSeek::kCurrent, &position), kSOk);
  EXPECT_EQ(position, 2U);
  char buffer[8] = {};
  EXPECT_EQ(stream->Read(buffer, 8, &count), kSFalse);  // fewer than asked: the end
  EXPECT_EQ(std::string(buffer, count), "cdef");
  EXPECT_EQ(stream->Read(buffer, 1, &count), kSFalse);
  EXPECT_EQ(count, 0U);

  ASSERT_EQ(stream->Seek(1, StreamSeek::kBegin, nullptr), kSOk);
  ASSERT_EQ(stream->Write("XY", 2, nullptr), kSOk);
  ASSERT_EQ(stream->SetSize(4), kSOk);
  ASSERT_EQ(stream->Seek(0, StreamSeek::kEnd, &position), kSOk);
  EXPECT_EQ(position, 4U);
  EXPECT_EQ(stream->Seek(-5, StreamSeek::kEnd, nullptr), kEInvalidArg);
  std::string bytes;
  ASSERT_EQ(ReadWholeStream(stream.get(), &bytes), kSOk);
  EXPECT_EQ(bytes, "aXYd");
  stream.reset();
  EXPECT_EQ(ReadText(dir.File("capture.png")), "aXYd");

  EXPECT_EQ(CreateFileStream(dir.File("no/such/folder.png"), &stream), kEPathNotFound);
}

}  // namespace
}  // namespace tessel::platform
