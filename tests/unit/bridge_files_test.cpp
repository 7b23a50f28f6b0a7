// files.* and folders.*: on the real file system in a private folder, and
// the folder getters and path rules over the fake OS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "bridge_fixture.h"
#include "platform/file_replace.h"
#include "shared/bridge_commands.h"
#include "shared/exe_zip.h"
#include "shared/program_constants.h"
#include "shared/zip_writer.h"

namespace tessel::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The module over the real OS seam, its application folder a fresh folder.
class FilesTest : public BridgeTest {
 protected:
  FilesTest() {
    platform::SetCurrentOs(native_.get());
    root_ = fs::temp_directory_path() /
            ("tessel-bridge-" + std::to_string(std::random_device{}()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    app_ = root_ / "app";
    fs::create_directories(app_);
    browser_.app_dir_path = Utf8(app_) + native_->PathSeparator();
  }
  ~FilesTest() override {
    platform::SetCurrentOs(&os_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // `data` with `name` set to `value` as a JSON string.
  static std::string With(const std::string& name, const std::string& value) {
    return "{\"" + name + "\":" + Str(value) + "}";
  }

  std::unique_ptr<platform::Os> native_ = platform::MakeNativeOs();
  fs::path root_;
  fs::path app_;
};

TEST_F(FilesTest, FileExistsLooksOnDiskBelowTheApplicationFolder) {
  WriteAll(app_ / "data" / "a.txt", "x");
  WriteAll(root_ / "beside.txt", "x");
  const struct {
    std::string path;
    std::string reply;
  } cases[] = {
      {"data/a.txt", Success("true")},
      {"data", Success("false")},  // a folder is no file
      {"data/b.txt", Success("false")},
      {"../beside.txt", Success("true")},
      {Utf8(app_ / "data" / "a.txt"), Success("true")},
      {"", Failure(Str("Missing filePath"))},
  };
  for (const auto& c : cases) EXPECT_EQ(Call(30001, With("filePath", c.path)), c.reply) << c.path;
  EXPECT_EQ(Call(30001, "{}"), Failure(Str("Missing filePath")));
  EXPECT_EQ(Call(30001, R"({"filePath":null})"), Failure(Str("Missing filePath")));
}

TEST_F(FilesTest, DeleteFileRemovesFilesOnly) {
  WriteAll(app_ / "a.txt", "x");
  fs::create_directories(app_ / "folder");
  EXPECT_EQ(Call(30002, With("filePath", "a.txt")), Success("true"));
  EXPECT_FALSE(fs::exists(app_ / "a.txt"));
  EXPECT_EQ(Call(30002, With("filePath", "a.txt")), Success("false"));
  EXPECT_EQ(Call(30002, With("filePath", "folder")), Success("false"));
  EXPECT_TRUE(fs::is_directory(app_ / "folder"));
  EXPECT_EQ(Call(30002, "{}"), Failure(Str("Missing filePath")));
}

TEST_F(FilesTest, WriteTextFileWritesUtf8WithMarkAndCrLfAfterEveryLine) {
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    const char* data;  // the argument object
    std::string bytes;
  } cases[] = {
      {R"({"filePath":"t.txt","contents":"a\nb"})", bom + "a\r\nb\r\n"},
      {R"({"filePath":"t.txt","contents":"a\r\nb\r\n"})", bom + "a\r\nb\r\n"},
      {R"({"filePath":"t.txt","contents":"a\rb\n\nc"})", bom + "a\r\nb\r\n\r\nc\r\n"},
      {R"({"filePath":"t.txt","contents":"x\r\r\ny"})", bom + "x\r\n\r\ny\r\n"},
      {R"({"filePath":"t.txt","contents":"\n"})", bom + "\r\n"},
      {R"({"filePath":"t.txt","contents":""})", bom},
      {R"({"filePath":"t.txt"})", bom},
      {R"({"filePath":"t.txt","contents":null})", bom},
      {R"({"filePath":"t.txt","contents":12})", bom + "12\r\n"},
      {R"({"filePath":"t.txt","contents":"\u00e9\ud83d\ude00"})",
       bom + "\xC3\xA9\xF0\x9F\x98\x80\r\n"},
  };
  for (const auto& c : cases) {
    WriteAll(app_ / "t.txt", std::string(100, 'z'));  // longer than any result: must be replaced
    EXPECT_EQ(Call(30003, c.data), Success("true")) << c.data;
    EXPECT_EQ(ReadAll(app_ / "t.txt"), c.bytes) << c.data;
  }
}

TEST_F(FilesTest, WriteTextFileCreatesMissingFolders) {
  EXPECT_EQ(Call(30003, R"({"filePath":"new/deeper/t.txt","contents":"hi"})"), Success("true"));
  EXPECT_EQ(ReadAll(app_ / "new" / "deeper" / "t.txt"), "\xEF\xBB\xBFhi\r\n");
}

TEST_F(FilesTest, WriteTextFileReportsAFileThatCannotBeCreated) {
  fs::create_directories(app_ / "taken");
  WriteAll(app_ / "plain", "x");
  for (const std::string& relative : {std::string("taken"), std::string("plain/sub/t.txt")}) {
    const std::string path = shared::ResolveAppPath(relative, browser_.app_dir_path);
    const std::string reply = Call(30003, With("filePath", relative));
    const json parsed = json::parse(reply);
    EXPECT_EQ(parsed["success"], false) << relative;
    const std::string text = parsed["result"];
    const std::string prefix = "Cannot create file \"" + path + "\". ";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix) << text;
    const std::string reason = text.substr(prefix.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_NE(reason.back(), '.');
    if (native_->Family() == platform::OsFamily::Posix && relative == "taken") {
      EXPECT_EQ(reason, native_->ErrorText(EISDIR));
    }
  }
  EXPECT_EQ(Call(30003, R"({"contents":"x"})"), Failure(Str("Missing filePath")));
}

// Whatever a write does, the folder holds the file and nothing else.
std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(Utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FilesTest, WriteTextFileReplacesTheFileWholeKeepingItsModeAndLinks) {
  WriteAll(app_ / "notes.txt", "old");
  EXPECT_EQ(Call(30003, R"({"filePath":"notes.txt","contents":"new"})"), Success("true"));
  EXPECT_EQ(ReadAll(app_ / "notes.txt"), "\xEF\xBB\xBFnew\r\n");
  EXPECT_EQ(Names(app_), std::vector<std::string>{"notes.txt"});
  if (native_->Family() != platform::OsFamily::Posix) return;

  // Its permissions stay; a link is written through to its target.
  fs::permissions(app_ / "notes.txt",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_directories(root_ / "elsewhere");
  WriteAll(root_ / "elsewhere" / "target.txt", "old");
  fs::create_symlink(root_ / "elsewhere" / "target.txt", app_ / "link.txt");
  EXPECT_EQ(Call(30003, R"({"filePath":"notes.txt","contents":"again"})"), Success("true"));
  EXPECT_EQ(Call(30003, R"({"filePath":"link.txt","contents":"through"})"), Success("true"));
  EXPECT_EQ(fs::status(app_ / "notes.txt").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(fs::is_symlink(app_ / "link.txt"));
  EXPECT_EQ(ReadAll(root_ / "elsewhere" / "target.txt"), "\xEF\xBB\xBFthrough\r\n");
  EXPECT_EQ(Names(app_), (std::vector<std::string>{"link.txt", "notes.txt"}));
  EXPECT_EQ(Names(root_ / "elsewhere"), std::vector<std::string>{"target.txt"});
}

// A full disk in the middle of a write: on a 64 KB file system of its own
// (mounting needs root; skipped otherwise).
TEST_F(FilesTest, AWriteThatDoesNotFitLeavesTheOldFileAsItWas) {
  if (native_->Family() != platform::OsFamily::Posix) GTEST_SKIP() << "POSIX only";
  const fs::path small = root_ / "small";
  fs::create_directories(small);
  const std::string mount = "mount -t tmpfs -o size=64k tmpfs '" + Utf8(small) + "' 2>/dev/null";
  if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  browser_.app_dir_path = Utf8(small) + "/";
  WriteAll(small / "notes.txt", "old content");
  const json reply =
      json::parse(Call(30003, R"({"filePath":"notes.txt","contents":")" +
                                  std::string(std::size_t{100} * 1024, 'x') + "\"}"));
  EXPECT_EQ(reply["success"], false);
  EXPECT_EQ(reply["result"], "Stream write error");
  EXPECT_EQ(ReadAll(small / "notes.txt"), "old content");
  EXPECT_EQ(Names(small), std::vector<std::string>{"notes.txt"});
  // A write that fits still goes through.
  EXPECT_EQ(Call(30003, R"({"filePath":"notes.txt","contents":"new"})"), Success("true"));
  EXPECT_EQ(ReadAll(small / "notes.txt"), "\xEF\xBB\xBFnew\r\n");
  EXPECT_EQ(std::system(("umount '" + Utf8(small) + "'").c_str()), 0);
}

TEST_F(FilesTest, APathWithANulTouchesNothingAndWritingItFails) {
  WriteAll(app_ / "notes" / "a", "keep");
  fs::create_directories(app_ / "dir");
  const std::string path =
      shared::ResolveAppPath(std::string("notes/a\0b", 9), browser_.app_dir_path);
  const json write = json::parse(Call(30003, R"({"filePath":"notes/a\u0000b","contents":"x"})"));
  EXPECT_EQ(write["success"], false);
  EXPECT_EQ(write["result"], "Cannot create file \"" + path + "\". " +
                                 shared::SystemErrorMessage(platform::InvalidPathErrorCode()));
  EXPECT_EQ(Call(30001, R"({"filePath":"notes/a\u0000b"})"), Success("false"));
  EXPECT_EQ(Call(30002, R"({"filePath":"notes/a\u0000b"})"), Success("false"));
  EXPECT_EQ(Call(40001, R"({"dirPath":"dir\u0000x"})"), Success("false"));
  EXPECT_EQ(Call(40002, R"({"dirPath":"dir\u0000x"})"), Success("false"));
  EXPECT_EQ(ReadAll(app_ / "notes" / "a"), "keep");
  EXPECT_TRUE(fs::is_directory(app_ / "dir"));
  EXPECT_EQ(Names(app_ / "notes"), std::vector<std::string>{"a"});
}

TEST_F(FilesTest, DirExistsAndDeleteDir) {
  WriteAll(app_ / "tree" / "sub" / "deep" / "f.txt", "x");
  WriteAll(app_ / "file.txt", "x");
  EXPECT_EQ(Call(40001, With("dirPath", "tree/sub")), Success("true"));
  EXPECT_EQ(Call(40001, With("dirPath", "file.txt")), Success("false"));
  EXPECT_EQ(Call(40001, With("dirPath", "nothing")), Success("false"));
  EXPECT_EQ(Call(40001, With("dirPath", Utf8(app_))), Success("true"));

  EXPECT_EQ(Call(40002, With("dirPath", "tree")), Success("true"));
  EXPECT_FALSE(fs::exists(app_ / "tree"));
  EXPECT_EQ(Call(40002, With("dirPath", "tree")), Success("false"));

  EXPECT_EQ(Call(40001, "{}"), Failure(Str("Missing dirPath")));
  EXPECT_EQ(Call(40002, R"({"dirPath":""})"), Failure(Str("Missing dirPath")));
  EXPECT_TRUE(fs::exists(app_));
}

// --- extractFile ---------------------------------------------------------------------

class ExtractFileTest : public FilesTest {
 protected:
  ExtractFileTest() {
    std::ostringstream out;
    shared::TZipWriter writer(out, std::string(shared::kAppArchivePassword));
    writer.AddEntry("webapp/index.html", "<html>", {});
    writer.AddEntry("webapp/data/list.json", "[1,2]", {});
    writer.Finish();
    archive_ = out.str();
    zip_.SetPassword(std::string(shared::kAppArchivePassword));
    zip_.SetStream({reinterpret_cast<const uint8_t*>(archive_.data()), archive_.size()});
    module_.SetExeZip(&zip_);
    settings_.LoadFromText("[App]\nDirName=webapp\n");
  }

  std::string Extract(const std::string& source, const fs::path& target) {
    return Call(30004,
                "{\"sourceFile\":" + Str(source) + ",\"targetFile\":" + Str(Utf8(target)) + "}");
  }

  std::string archive_;
  shared::TExeZip zip_;
};

TEST_F(ExtractFileTest, CopiesTheEntryNamedByDirNameAndSourceFile) {
  const fs::path target = root_ / "out" / "x.html";
  fs::create_directories(target.parent_path());
  EXPECT_EQ(Extract("/index.html", target), Success("true"));
  EXPECT_EQ(ReadAll(target), "<html>");
  EXPECT_EQ(Extract("/DATA/List.json", target), Success("true"));
  EXPECT_EQ(ReadAll(target), "[1,2]");

  // No separator is put in: "webapp" + "index.html" names nothing, and the
  // target is left behind empty.
  EXPECT_EQ(Extract("index.html", target), Failure(Str("File not found")));
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::file_size(target), 0u);

  settings_.LoadFromText("[App]\n");
  EXPECT_EQ(Extract("webapp/index.html", target), Success("true"));
  EXPECT_EQ(ReadAll(target), "<html>");
}

TEST_F(ExtractFileTest, RequiresBothNames) {
  const fs::path target = root_ / "t.txt";
  EXPECT_EQ(Call(30004, R"({"targetFile":"x"})"), Failure(Str("Missing sourceFile")));
  EXPECT_EQ(Call(30004, "{\"sourceFile\":\"/index.html\",\"targetFile\":\"\"}"),
            Failure(Str("Missing targetFile")));
  EXPECT_EQ(Call(30004, "{\"sourceFile\":\"\",\"targetFile\":" + Str(Utf8(target)) + "}"),
            Failure(Str("Missing sourceFile")));
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(ExtractFileTest, ATargetThatCannotBeCreatedIsReported) {
  fs::create_directories(root_ / "taken");
  const std::string reply = Extract("/index.html", root_ / "taken");
  const json parsed = json::parse(reply);
  EXPECT_EQ(parsed["success"], false);
  const std::string prefix = "Cannot create file \"" + Utf8(root_ / "taken") + "\". ";
  EXPECT_EQ(parsed["result"].get<std::string>().substr(0, prefix.size()), prefix);
}

TEST_F(ExtractFileTest, WithoutAnArchiveOnlyAMessageIsShown) {
  module_.SetExeZip(nullptr);
  module_.SetApplicationTitle("Demo");
  const fs::path target = root_ / "t.txt";
  EXPECT_EQ(Extract("/index.html", target), "");
  EXPECT_FALSE(fs::exists(target));
  ASSERT_EQ(ui_.dialogs.size(), 1u);
  EXPECT_EQ(ui_.dialogs[0].text, "Calls to vtx.app.extractFile() works only at runtime.");
  EXPECT_EQ(ui_.dialogs[0].title, "Demo");
  EXPECT_EQ(ui_.dialogs[0].buttons,
            std::vector<platform::DialogButton>{platform::DialogButton::OK});
}

TEST_F(ExtractFileTest, AnAppFolderRunLiveStandsForTheArchive) {
  module_.SetExeZip(nullptr);
  const fs::path folder = root_ / "live";
  fs::create_directories(folder / "webapp" / "data");
  std::ofstream(folder / "webapp" / "data" / "list.json", std::ios::binary) << "[3]";
  std::ofstream(folder / "vtx.ini", std::ios::binary) << "[App]";
  module_.SetAppFolder(Utf8(folder) + static_cast<char>(fs::path::preferred_separator));
  EXPECT_EQ(Call(10002), Success("true"));  // isRuntime
  const fs::path target = root_ / "t.json";
  const struct {
    const char* source;
    std::string reply;
  } cases[] = {
      {"/data/list.json", Success("true")},
      {"/data/missing.json", Failure(Str("File not found"))},
      {"/../vtx.ini", Failure(Str("File not found"))},  // never outside the app's folder
      {"/data/../../vtx.ini", Failure(Str("File not found"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(Extract(c.source, target), c.reply);
    if (c.reply == Success("true")) {
      EXPECT_EQ(ReadAll(target), "[3]");
    }
  }
  EXPECT_TRUE(ui_.dialogs.empty());
}

// --- folder getters and path rules over the fake OS -------------------------------------

TEST_F(BridgeTest, FolderGettersEndWithTheSeparator) {
  os_.temp_path = "/tmp/run";
  os_.documents_path = "/home/u/Documents/";
  os_.desktop_path = "";
  EXPECT_EQ(Call(40003), Success(Str("/tmp/run/")));
  EXPECT_EQ(Call(40004), Success(Str("/home/u/Documents/")));
  EXPECT_EQ(Call(40005), Success(Str("/")));
  EXPECT_EQ(Call(40006), Success(Str("/opt/app/")));

  os_.family = platform::OsFamily::Windows;
  os_.path_separator = '\\';
  os_.executable_path = "C:\\Program Files\\Demo\\demo.exe";
  os_.temp_path = "C:\\Users\\u\\AppData\\Local\\Temp";
  EXPECT_EQ(Call(40003), Success(R"("C:\\Users\\u\\AppData\\Local\\Temp\\")"));
  EXPECT_EQ(Call(40006), Success(R"("C:\\Program Files\\Demo\\")"));
  os_.executable_path = "";
  EXPECT_EQ(Call(40006), Success(R"("")"));
}

TEST_F(BridgeTest, RelativePathsAreAppendedToTheApplicationFolder) {
  const struct {
    platform::OsFamily family;
    const char* app_dir;
    const char* path;
    const char* resolved;
  } cases[] = {
      {platform::OsFamily::Windows, "C:\\app\\", "data/a.txt", "C:\\app\\data\\a.txt"},
      {platform::OsFamily::Windows, "C:\\app\\", "../a.txt", "C:\\app\\..\\a.txt"},
      {platform::OsFamily::Windows, "C:\\app\\", "/a.txt", "C:\\app\\\\a.txt"},
      {platform::OsFamily::Windows, "C:\\app\\", "C:/temp/a.txt", "C:/temp/a.txt"},
      {platform::OsFamily::Windows, "C:\\app\\", "\\\\server\\share\\a", "\\\\server\\share\\a"},
      {platform::OsFamily::Posix, "/opt/app/", "data/a.txt", "/opt/app/data/a.txt"},
      {platform::OsFamily::Posix, "/opt/app/", "./a\\b", "/opt/app/./a\\b"},
      {platform::OsFamily::Posix, "/opt/app/", "/etc/hosts", "/etc/hosts"},
      {platform::OsFamily::Posix, "/opt/app/", "C:/temp/a.txt", "/opt/app/C:/temp/a.txt"},
  };
  for (const auto& c : cases) {
    os_.family = c.family;
    os_.path_separator = c.family == platform::OsFamily::Windows ? '\\' : '/';
    EXPECT_EQ(shared::ResolveAppPath(c.path, c.app_dir), c.resolved) << c.path;
  }
}

}  // namespace
}  // namespace tessel::test
