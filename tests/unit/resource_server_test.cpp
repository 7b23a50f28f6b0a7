#include "shared/resource_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>

#include "address_decoding_cases.h"
#include "archive_fixtures.h"
#include "platform/engine_basics.h"
#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_os.h"
#include "shared/mime_table.h"
#include "shared/program_constants.h"
#include "shared/zip_writer.h"

namespace tessel::shared {
namespace {

using platform::FakeOs;
using platform::ScopedOs;
using test::TempDir;

const std::string kPassword(kAppArchivePassword);

struct Entry {
  std::string name;
  std::string content;
};

std::vector<uint8_t> WriteArchive(const std::vector<Entry>& entries,
                                  const std::string& password = kPassword) {
  std::ostringstream out;
  TZipWriter writer(out, password);
  for (const Entry& e : entries) writer.AddEntry(e.name, e.content, {});
  writer.Finish();
  const std::string s = out.str();
  return {s.begin(), s.end()};
}

std::string Binary() {
  const std::vector<uint8_t> bytes = test::Pattern(3000);
  return {bytes.begin(), bytes.end()};
}

// An archive with the web app under "webapp", an executable folder with
// files beside it, and a folder elsewhere for absolute addresses.
class ResourceServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCachedMimeTable();
    // The real platform's path rules, so the files below are found.
    const auto native = platform::MakeNativeOs();
    os_.family = native->Family();
    os_.path_separator = native->PathSeparator();
    os_.executable_path = exe_dir_.File("app");
    archive_ = WriteArchive({
        {"webapp/index.html", "<title>From the archive</title>"},
        {"webapp/css/site.css", "body{}"},
        {"webapp/img/logo.png", Binary()},
        {"webapp/both.txt", "archive copy"},
        {"webapp/my%20page.html", "escaped name"},
        {"webapp/sub/x.txt", "nested"},
        {"webapp/notes.css:data", "after a colon"},
        {"vtx.ini", "[App]"},
    });
    zip_.SetPassword(kPassword);
    zip_.SetStream(archive_);
    test::WriteBytes(exe_dir_.File("both.txt"), std::string("disk copy"));
    test::WriteBytes(exe_dir_.File("disk/only.js"), std::string("let beside = 1;"));
    test::WriteBytes(exe_dir_.File("index.html"), std::string("disk index"));
    std::filesystem::create_directories(exe_dir_.path() / "folder.html");
    test::WriteBytes(elsewhere_.File("report.pdf"), std::string("%PDF-1.4"));
  }
  void TearDown() override { ResetCachedMimeTable(); }

  TResourceSource Source() const { return TResourceSource{&zip_, "webapp", exe_dir_.File("")}; }

  // The path part of the address of the absolute path `absolute`, as the
  // engine writes it: without the leading '/' on POSIX, with '/' separators.
  std::string UriPath(std::string absolute) const {
    if (os_.family == platform::OsFamily::Posix) return absolute.substr(1);
    for (char& c : absolute) {
      if (c == '\\') c = '/';
    }
    return absolute;
  }
  // Where the lookup reads the file of UriPath(absolute).
  std::string AbsoluteLocation(const std::string& absolute) const {
    return os_.family == platform::OsFamily::Posix ? absolute : UriPath(absolute);
  }
  // Where the lookup beside the executable reads `relative`.
  std::string BesideExe(const std::string& relative) const {
    const std::string dir = exe_dir_.File("");
    std::string path = dir + relative;
    for (std::size_t i = dir.size(); i < path.size(); ++i) {
      if (path[i] == '/') path[i] = os_.path_separator;
    }
    return path;
  }

  FakeOs os_;
  ScopedOs scoped_os_{os_};
  TempDir exe_dir_;
  TempDir elsewhere_;
  std::vector<uint8_t> archive_;
  TExeZip zip_;
};

TEST_F(ResourceServerTest, LooksUpArchiveThenBesideTheExecutableThenTheAbsolutePath) {
  ASSERT_EQ(exe_dir_.File("").back(), os_.path_separator);
  const std::string pdf = elsewhere_.File("report.pdf");
  struct Case {
    std::string uri;
    TResourceOrigin origin;
    std::string location;
    std::string mime;
    std::string body;
  };
  const Case cases[] = {
      {"file:///index.html", TResourceOrigin::Archive, "webapp/index.html", "text/html",
       "<title>From the archive</title>"},
      // Entry names match without regard to case; the MIME type too.
      {"file:///INDEX.HTML", TResourceOrigin::Archive, "webapp/INDEX.HTML", "text/html",
       "<title>From the archive</title>"},
      {"file:///css/site.css", TResourceOrigin::Archive, "webapp/css/site.css", "text/css",
       "body{}"},
      {"file:///img/logo.png", TResourceOrigin::Archive, "webapp/img/logo.png", "image/x-png",
       Binary()},
      // The archive wins over the same file beside the executable.
      {"file:///both.txt", TResourceOrigin::Archive, "webapp/both.txt", "text/plain",
       "archive copy"},
      // Percent escapes are part of the name, not decoded.
      {"file:///my%20page.html", TResourceOrigin::Archive, "webapp/my%20page.html", "text/html",
       "escaped name"},
      // Every "file:///" goes, not only the first.
      {"file:///sub/file:///x.txt", TResourceOrigin::Archive, "webapp/sub/x.txt", "text/plain",
       "nested"},
      // The MIME name is what follows the last ':' (or '\'), so ".css:data"
      // is no style sheet.
      {"file:///notes.css:data", TResourceOrigin::Archive, "webapp/notes.css:data",
       "application/octet-stream", "after a colon"},
      {"file:///disk/only.js", TResourceOrigin::BesideExecutable, BesideExe("disk/only.js"),
       "text/javascript", "let beside = 1;"},
      {"file:///" + UriPath(pdf), TResourceOrigin::AbsolutePath, AbsoluteLocation(pdf),
       "application/pdf", "%PDF-1.4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    const auto served = LookUpResource(c.uri, Source(), os_);
    ASSERT_TRUE(served.has_value());
    EXPECT_EQ(served->Origin, c.origin);
    EXPECT_EQ(served->Location, c.location);
    EXPECT_EQ(served->MimeType, c.mime);
    EXPECT_EQ(served->Body, c.body);
  }
}

TEST_F(ResourceServerTest, LeavesEverythingElseToTheEngine) {
  const char* const misses[] = {
      // Without the query and the fragment, still nothing.
      "file:///missing.html?page=2",
      "file:///missing.html#top",
      "file:///my page.html",
      // A prefix in other letters passes the test but is not removed.
      "FILE:///index.html",
      "File:///css/site.css",
      "file:///missing.html",
      // A folder is no file.
      "file:///folder.html",
      "file:///",
      "file://index.html",
      "https://example.com/index.html",
      "data:text/html,<p>hi</p>",
      "about:blank",
      "",
  };
  for (const char* uri : misses) {
    SCOPED_TRACE(uri);
    EXPECT_FALSE(LookUpResource(uri, Source(), os_).has_value());
  }
}

// Addresses as pages write them: percent escapes and the engine's own
// spelling of non-ASCII and blanks.
std::string Escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && c != ' ' && c != '%') {
      out += c;
    } else {
      out += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return out;
}

// Nothing answers to the name as written: the lookups run again for the
// name the page meant, with no query, no fragment and escapes decoded. An
// entry that really has the written name still wins, and nothing decoded
// reaches a file the written name could not.
TEST_F(ResourceServerTest, WhatNothingAnswersToIsLookedForAgainAsThePageMeantIt) {
  archive_ = WriteArchive({
      {"webapp/index.html", "index"},
      {"webapp/css/site.css", "body{}"},
      {"webapp/my%20page.html", "written"},
      {"webapp/my page.html", "meant"},
      {"webapp/a?b", "question mark"},
      {"webapp/a", "plain a"},
      {"webapp/caf\xC3\xA9.png", "utf-8 name"},
      {"webapp/caf\xE9.png", "latin-1 name"},
      {"webapp/100%.txt", "percent"},
      {"webapp/sub/x.txt", "nested"},
      {"webapp/sub\\x.txt", "backslash"},
      {std::string("webapp/nul\0.txt", 15), "nul"},
      {"webapp/bad%G1 x.txt", "kept as written"},
      {"webapp/end x%", "kept as written"},
      {"webapp/end x%2", "kept as written"},
  });
  zip_.SetStream(archive_);
  test::WriteBytes(exe_dir_.File("disk/my file.js"), std::string("beside"));
  const std::string pdf = elsewhere_.File("my report.pdf");
  test::WriteBytes(pdf, std::string("%PDF-1.4"));

  struct Hit {
    std::string uri;
    TResourceOrigin origin;
    std::string location;
    std::string mime;
    std::string body;
  };
  const Hit hits[] = {
      {"file:///index.html?v=2", TResourceOrigin::Archive, "webapp/index.html", "text/html",
       "index"},
      {"file:///css/site.css?v=2#top", TResourceOrigin::Archive, "webapp/css/site.css", "text/css",
       "body{}"},
      {"file:///index.html#part2", TResourceOrigin::Archive, "webapp/index.html", "text/html",
       "index"},
      // The written name first, even when an escape in it decodes to another.
      {"file:///my%20page.html", TResourceOrigin::Archive, "webapp/my%20page.html", "text/html",
       "written"},
      {"file:///my%20page.html?x", TResourceOrigin::Archive, "webapp/my page.html", "text/html",
       "meant"},
      {"file:///a?b", TResourceOrigin::Archive, "webapp/a?b", "application/octet-stream",
       "question mark"},
      {"file:///a?c", TResourceOrigin::Archive, "webapp/a", "application/octet-stream", "plain a"},
      {"file:///caf%C3%A9.png", TResourceOrigin::Archive, "webapp/caf\xC3\xA9.png", "image/x-png",
       "utf-8 name"},
      // Decoded once: "%25" is a '%' of the name, not the start of another.
      {"file:///100%25.txt", TResourceOrigin::Archive, "webapp/100%.txt", "text/plain", "percent"},
      {"file:///disk/my%20file.js?v=3", TResourceOrigin::BesideExecutable,
       BesideExe("disk/my file.js"), "text/javascript", "beside"},
      {"file:///" + Escaped(UriPath(pdf)) + "#page=2", TResourceOrigin::AbsolutePath,
       AbsoluteLocation(pdf), "application/pdf", "%PDF-1.4"},
  };
  for (const Hit& c : hits) {
    SCOPED_TRACE(c.uri);
    const auto served = LookUpResource(c.uri, Source(), os_);
    ASSERT_TRUE(served.has_value());
    EXPECT_EQ(served->Uri, c.uri);
    EXPECT_EQ(served->Origin, c.origin);
    EXPECT_EQ(served->Location, c.location);
    EXPECT_EQ(served->MimeType, c.mime);
    EXPECT_EQ(served->Body, c.body);
  }

  // Each of these names an entry that exists once decoded the lax way.
  const char* const misses[] = {
      "file:///caf%E9.png",             // not UTF-8
      "file:///nul%00.txt",             // a NUL
      "file:///bad%G1%20x.txt",         // not hex
      "file:///end%20x%",               // a '%' at the end
      "file:///end%20x%2",              // an escape cut short
      "file:///sub%2Fx.txt",            // a separator out of an escape
      "file:///sub%5Cx.txt",            // the other one
      "file:///sub/%2E%2E/index.html",  // dot segments, in any case
      "file:///sub/%2e/x.txt",
  };
  for (const char* uri : misses) {
    SCOPED_TRACE(uri);
    EXPECT_FALSE(LookUpResource(uri, Source(), os_).has_value());
  }
}

// By absolute path, the second pass reads what the engine module's own
// reading would (the same table drives engine_webkit_uri_test), so a request
// the host leaves is one the engine finds nothing for either.
TEST_F(ResourceServerTest, TheAbsoluteLookupDecodesAsTheEngineReadsFiles) {
  // The lax names first: some are the same file as a meant one.
  for (const bool meant : {false, true}) {
    for (const auto& c : test::kAddressDecodingCases) {
      const char* name = meant ? c.meant : c.lax;
      // Windows names cannot hold a '\' of their own.
      if (name != nullptr && (os_.family == platform::OsFamily::Posix ||
                              std::string_view(name).find('\\') == std::string_view::npos)) {
        try {
          test::WriteBytes(elsewhere_.File(name), std::string(name));
        } catch (const std::filesystem::filesystem_error&) {
          // Windows names are UTF-16: one of bytes that are not UTF-8 cannot
          // be made there, and that case only shows the miss.
        }
      }
    }
  }
  for (const auto& c : test::kAddressDecodingCases) {
    SCOPED_TRACE(c.written);
    const std::string uri = "file:///" + UriPath(elsewhere_.File("")) + c.written;
    const auto served = LookUpResource(uri, Source(), os_);
    if (c.meant == nullptr) {
      EXPECT_FALSE(served);
      continue;
    }
    ASSERT_TRUE(served);
    EXPECT_EQ(served->Origin, TResourceOrigin::AbsolutePath);
    EXPECT_EQ(served->Location, AbsoluteLocation(elsewhere_.File(c.meant)));
    EXPECT_EQ(served->Body, c.meant);
  }
}

TEST_F(ResourceServerTest, ADecodedNameClimbsOutOfNoFolder) {
  // Beside the executable: the written ".." is the engine's to resolve; a
  // decoded one never takes the lookup above AppDirPath.
  test::WriteBytes(exe_dir_.File("secret.txt"), std::string("above"));
  test::WriteBytes(exe_dir_.File("app/inside.txt"), std::string("inside"));
  TResourceSource source = Source();
  source.ExeZip = nullptr;
  source.AppDirPath = exe_dir_.File("app") + os_.path_separator;
  ASSERT_TRUE(LookUpResource("file:///inside.txt?v=1", source, os_));
  for (const char* uri : {"file:///%2E%2E/secret.txt", "file:///..%2Fsecret.txt",
                          "file:///.%2E/secret.txt?v=1", "file:///..%5Csecret.txt"}) {
    SCOPED_TRACE(uri);
    EXPECT_FALSE(LookUpResource(uri, source, os_));
  }

  // An app folder run live: nothing above its app's folder.
  TempDir folder;
  test::WriteBytes(folder.File("vtx.ini"), std::string("[App]"));
  test::WriteBytes(folder.File("webapp/index.html"), std::string("page"));
  source = TResourceSource{nullptr, "webapp", "", uint64_t{4} << 20, folder.File("")};
  const auto page = LookUpResource("file:///index.html?v=1", source, os_);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->Origin, TResourceOrigin::Archive);
  for (const char* uri : {"file:///%2E%2E/vtx.ini", "file:///..%2Fvtx.ini"}) {
    SCOPED_TRACE(uri);
    EXPECT_FALSE(LookUpResource(uri, source, os_));
  }
}

TEST_F(ResourceServerTest, EachLookupNeedsItsOwnInputs) {
  // Without an archive folder name the disk copy is served.
  TResourceSource source = Source();
  source.AppDirName.clear();
  auto served = LookUpResource("file:///index.html", source, os_);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->Origin, TResourceOrigin::BesideExecutable);
  EXPECT_EQ(served->Body, "disk index");

  source = Source();
  source.ExeZip = nullptr;
  served = LookUpResource("file:///index.html", source, os_);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->Origin, TResourceOrigin::BesideExecutable);

  // Without the executable's folder nothing is read relative to the current
  // folder.
  source = Source();
  source.ExeZip = nullptr;
  source.AppDirPath.clear();
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(exe_dir_.path());
  served = LookUpResource("file:///index.html", source, os_);
  std::filesystem::current_path(cwd);
  EXPECT_FALSE(served);

  // A closed archive finds nothing and is no error.
  TExeZip closed;
  source = Source();
  source.ExeZip = &closed;
  served = LookUpResource("file:///disk/only.js", source, os_);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->Origin, TResourceOrigin::BesideExecutable);
}

TEST_F(ResourceServerTest, BesideTheExecutableUsesThePlatformSeparator) {
  // With '\' as the separator the relative path's '/' turn into '\'. On a
  // POSIX file system that makes one file name, which proves the rewrite.
  os_.path_separator = '\\';
  test::WriteBytes(exe_dir_.File("deep\\file.txt"), std::string("backslashed"));
  const auto served = LookUpResource("file:///deep/file.txt", Source(), os_);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->Origin, TResourceOrigin::BesideExecutable);
  EXPECT_EQ(served->Location, exe_dir_.File("deep\\file.txt"));
  EXPECT_EQ(served->Body, "backslashed");
}

TEST_F(ResourceServerTest, ARelativePathIsNotTriedAgainstTheCurrentFolder) {
  // Windows rules: the path is used as it is and must be absolute, so a bare
  // relative one is never read from the current folder.
  os_.family = platform::OsFamily::Windows;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere_.path());
  TResourceSource source = Source();
  source.ExeZip = nullptr;
  const auto relative = LookUpResource("file:///report.pdf", source, os_);
  std::filesystem::current_path(cwd);
  EXPECT_FALSE(relative);
}

TEST_F(ResourceServerTest, AFileThatCannotBeReadWholeIsNotServed) {
  // The archive's entries exist but cannot be decrypted: nothing is served,
  // not an empty body, and the disk copy does not stand in for them.
  TExeZip wrong;
  wrong.SetPassword("not the password");
  wrong.SetStream(archive_);
  TResourceSource source = Source();
  source.ExeZip = &wrong;
  EXPECT_FALSE(LookUpResource("file:///index.html", source, os_));
  EXPECT_FALSE(LookUpResource("file:///css/site.css", source, os_));

  // Damaged data: one byte of the first entry's encrypted content flipped.
  std::vector<uint8_t> damaged = WriteArchive({{"webapp/big.bin", Binary()}});
  TExeZip intact;
  intact.SetPassword(kPassword);
  intact.SetStream(damaged);
  source.ExeZip = &intact;
  ASSERT_TRUE(LookUpResource("file:///big.bin", source, os_));
  damaged[30 + 14 + 12 + 1000] ^= 0x5A;
  TExeZip broken;
  broken.SetPassword(kPassword);
  broken.SetStream(damaged);
  source.ExeZip = &broken;
  EXPECT_FALSE(LookUpResource("file:///big.bin", source, os_));

  // A regular file whose reading fails (the kernel refuses reads at offset 0).
  std::error_code error;
  if (std::filesystem::is_regular_file("/proc/self/mem", error)) {
    EXPECT_FALSE(LookUpResource("file:///proc/self/mem", Source(), os_));
  }
}

// Entries from the threshold on are answered with a stream that decrypts as
// it is read: the same bytes in any block size, seekable, read-only, and a
// damaged entry fails where the damage shows instead of ending short.
TEST_F(ResourceServerTest, BigEntriesAreServedAsStreams) {
  const std::vector<uint8_t> pattern = test::Pattern(200'003, 5);
  const std::string big(pattern.begin(), pattern.end());
  std::vector<uint8_t> archive = WriteArchive({{"webapp/big.bin", big}, {"webapp/small", "s"}});
  TExeZip zip;
  zip.SetPassword(kPassword);
  zip.SetStream(archive);
  TResourceSource source = Source();
  source.ExeZip = &zip;
  source.StreamEntriesFrom = 100'000;

  const auto small = LookUpResource("file:///small", source, os_);
  ASSERT_TRUE(small);
  EXPECT_FALSE(small->BodyStream);
  EXPECT_EQ(small->Body, "s");

  const auto read_all = [](platform::Stream& stream, std::uint32_t block) {
    std::string out;
    std::string buf(block, '\0');
    for (;;) {
      std::uint32_t n = 0;
      const platform::HRESULT hr = stream.Read(buf.data(), block, &n);
      if (platform::Failed(hr)) return std::string("failed");
      out.append(buf.data(), n);
      if (hr == platform::kSFalse) return out;
    }
  };
  for (const std::uint32_t block : {65536u, 777u}) {
    SCOPED_TRACE(block);
    const auto served = LookUpResource("file:///big.bin", source, os_);
    ASSERT_TRUE(served);
    EXPECT_EQ(served->Origin, TResourceOrigin::Archive);
    EXPECT_EQ(served->MimeType, "application/octet-stream");
    EXPECT_TRUE(served->Body.empty());
    ASSERT_TRUE(served->BodyStream);
    platform::Stream& stream = *served->BodyStream;
    std::uint64_t size = 0;
    ASSERT_EQ(stream.Seek(0, platform::StreamSeek::kEnd, &size), platform::kSOk);
    EXPECT_EQ(size, big.size());
    ASSERT_EQ(stream.Seek(0, platform::StreamSeek::kBegin, nullptr), platform::kSOk);
    EXPECT_TRUE(read_all(stream, block) == big);
    // Back into the middle, and forward again from there.
    std::uint64_t at = 0;
    ASSERT_EQ(stream.Seek(-100'000, platform::StreamSeek::kEnd, &at), platform::kSOk);
    EXPECT_EQ(at, big.size() - 100'000);
    EXPECT_TRUE(read_all(stream, block) == big.substr(big.size() - 100'000));
    EXPECT_EQ(stream.Seek(-1, platform::StreamSeek::kBegin, nullptr), platform::kEInvalidArg);
    EXPECT_EQ(stream.Write("x", 1, nullptr), platform::kEAccessDenied);
  }

  // The engine gets the stream itself, positioned at its start.
  auto args = std::make_shared<platform::FakeWebResourceRequestedEventArgs>();
  args->request = std::make_shared<platform::BasicWebResourceRequest>("file:///big.bin", "GET");
  auto engine = platform::MakeFakeEngine();
  auto environment = std::make_shared<platform::FakeEnvironment>(engine);
  const auto answered = AnswerResourceRequest(environment.get(), args.get(), source, os_);
  ASSERT_TRUE(answered);
  EXPECT_FALSE(answered->BodyStream);
  std::shared_ptr<platform::Stream> content;
  ASSERT_TRUE(args->response);
  args->response->get_Content(&content);
  ASSERT_TRUE(content);
  EXPECT_TRUE(read_all(*content, 65536) == big);

  // The last byte damaged: every block reads but the one the CRC ends.
  archive[30 + 14 + 12 + big.size() - 1] ^= 0x01;
  zip.SetStream(archive);
  const auto damaged = LookUpResource("file:///big.bin", source, os_);
  ASSERT_TRUE(damaged);
  ASSERT_TRUE(damaged->BodyStream);
  EXPECT_EQ(read_all(*damaged->BodyStream, 65536), "failed");
}

class ThrowingMimeOs : public FakeOs {
 public:
  std::vector<platform::MimeMapping> MimeTypesByExtension() const override {
    throw std::runtime_error("Invalid data type for 'Content Type'");
  }
};

TEST_F(ResourceServerTest, AFailedMimeLookupAnswersNothingAndThrowsNothing) {
  ThrowingMimeOs os;
  os.executable_path = os_.executable_path;
  ScopedOs scoped(os);
  ResetCachedMimeTable();
  EXPECT_FALSE(LookUpResource("file:///index.html", Source(), os));
}

// --- the engine glue ---------------------------------------------------------------

class AnswerResourceRequestTest : public ResourceServerTest {
 protected:
  std::shared_ptr<platform::FakeWebResourceRequestedEventArgs> Request(const std::string& uri) {
    auto args = std::make_shared<platform::FakeWebResourceRequestedEventArgs>();
    args->request = std::make_shared<platform::BasicWebResourceRequest>(uri, "GET");
    return args;
  }

  std::shared_ptr<platform::FakeEngine> engine_ = platform::MakeFakeEngine();
  std::shared_ptr<platform::FakeEnvironment> environment_ =
      std::make_shared<platform::FakeEnvironment>(engine_);
};

TEST_F(AnswerResourceRequestTest, AnswersStatus200WithOneContentTypeHeaderAndTheWholeBody) {
  EXPECT_EQ(ResourceResponseHeaders("image/x-png"), "Content-Type: image/x-png; charset=utf-8");
  // WebAssembly's streaming compile refuses the type with any parameter.
  EXPECT_EQ(ResourceResponseHeaders("application/wasm"), "Content-Type: application/wasm");
  const struct {
    const char* uri;
    std::string content_type;
    std::string body;
  } cases[] = {
      {"file:///index.html", "text/html; charset=utf-8", "<title>From the archive</title>"},
      // Images claim the charset too; every byte value survives.
      {"file:///img/logo.png", "image/x-png; charset=utf-8", Binary()},
      {"file:///disk/only.js", "text/javascript; charset=utf-8", "let beside = 1;"},
      {"absolute", "text/html; charset=utf-8", "<p>elsewhere</p>"},
  };
  const std::string elsewhere = elsewhere_.File("page.html");
  test::WriteBytes(elsewhere, std::string("<p>elsewhere</p>"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    auto args = Request(std::string_view(c.uri) == "absolute" ? "file:///" + UriPath(elsewhere)
                                                              : std::string(c.uri));
    const auto served = AnswerResourceRequest(environment_.get(), args.get(), Source(), os_);
    ASSERT_TRUE(served);
    ASSERT_TRUE(args->response);
    int status = 0;
    std::string reason;
    args->response->get_StatusCode(&status);
    args->response->get_ReasonPhrase(&reason);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(reason, "OK");
    std::shared_ptr<platform::HttpResponseHeaders> headers;
    args->response->get_Headers(&headers);
    std::vector<platform::HttpHeader> all;
    headers->GetIterator(&all);
    std::vector<platform::HttpHeader> expected{{"Content-Type", c.content_type}};
    // What is read by its absolute path is not the app's: sandboxed as a
    // document, an origin of its own.
    if (served->Origin == TResourceOrigin::AbsolutePath) {
      expected.emplace_back("Content-Security-Policy",
                            "sandbox allow-scripts allow-forms allow-popups allow-modals");
    }
    EXPECT_EQ(all, expected);
    std::shared_ptr<platform::Stream> content;
    args->response->get_Content(&content);
    ASSERT_TRUE(content);
    // Positioned at its start: a plain read gets everything.
    std::string body(c.body.size() + 16, '\0');
    std::uint32_t read = 0;
    content->Read(body.data(), static_cast<std::uint32_t>(body.size()), &read);
    body.resize(read);
    EXPECT_EQ(body, c.body);
  }
}

TEST_F(AnswerResourceRequestTest, LeavesTheRequestUntouchedWhenAnythingFails) {
  // A miss.
  auto args = Request("file:///missing.html?page=2");
  EXPECT_FALSE(AnswerResourceRequest(environment_.get(), args.get(), Source(), os_));
  EXPECT_FALSE(args->response);

  // The request cannot be read.
  args = Request("file:///index.html");
  args->fail["get_Request"] = platform::kEFail;
  EXPECT_FALSE(AnswerResourceRequest(environment_.get(), args.get(), Source(), os_));
  EXPECT_FALSE(args->response);

  // No environment to make the response.
  args = Request("file:///index.html");
  EXPECT_FALSE(AnswerResourceRequest(nullptr, args.get(), Source(), os_));
  EXPECT_FALSE(args->response);

  // The engine refuses to make the response, or to take it.
  engine_->FailOperation("Environment.CreateWebResourceResponse", platform::kEOutOfMemory);
  args = Request("file:///index.html");
  EXPECT_FALSE(AnswerResourceRequest(environment_.get(), args.get(), Source(), os_));
  EXPECT_FALSE(args->response);
  engine_->FailOperation("Environment.CreateWebResourceResponse", platform::kSOk);
  args = Request("file:///index.html");
  args->fail["put_Response"] = platform::kEInvalidArg;
  EXPECT_FALSE(AnswerResourceRequest(environment_.get(), args.get(), Source(), os_));
  EXPECT_FALSE(args->response);
}

// --- byte ranges ---------------------------------------------------------------------

TEST(ParseRangeHeader, OneRangeOfBytesIsAPartAnythingElseTheWholeBody) {
  constexpr auto kWhole = TByteRange::Whole;
  constexpr auto kPart = TByteRange::Part;
  constexpr auto kNone = TByteRange::Unsatisfiable;
  const struct {
    const char* header;
    uint64_t size;
    TByteRange::TKind kind;
    uint64_t first = 0;
    uint64_t last = 0;
  } cases[] = {
      {"bytes=0-0", 10, kPart, 0, 0},
      {"bytes=2-5", 10, kPart, 2, 5},
      {"bytes=2-", 10, kPart, 2, 9},
      {"bytes=9-9", 10, kPart, 9, 9},
      {"bytes=5-100", 10, kPart, 5, 9},
      {"bytes=0-99999999999999999999999", 10, kPart, 0, 9},
      {"bytes=-3", 10, kPart, 7, 9},
      {"bytes=-30", 10, kPart, 0, 9},
      // The unit in any case, blanks around the header and the range.
      {"Bytes=1-2", 10, kPart, 1, 2},
      {" bytes= 1-2 \t", 10, kPart, 1, 2},
      // Starting at or past the end, or naming no byte at all.
      {"bytes=10-", 10, kNone},
      {"bytes=10-20", 10, kNone},
      {"bytes=99999999999999999999999-", 10, kNone},
      {"bytes=-0", 10, kNone},
      {"bytes=0-", 0, kNone},
      // An empty body has no last bytes to name.
      {"bytes=-5", 0, kWhole},
      // Several ranges, another unit, and malformed ones: as if absent.
      {"bytes=0-1,3-4", 10, kWhole},
      {"bytes=0-1,", 10, kWhole},
      {"bytes=5-3", 10, kWhole},
      {"items=0-1", 10, kWhole},
      {"bytes 0-1", 10, kWhole},
      {"bytes=", 10, kWhole},
      {"bytes=-", 10, kWhole},
      {"bytes=1", 10, kWhole},
      {"bytes=a-b", 10, kWhole},
      {"bytes=--1", 10, kWhole},
      {"bytes=+1-2", 10, kWhole},
      {"bytes=1-2-3", 10, kWhole},
      {"bytes=0 - 1", 10, kWhole},
      {"", 10, kWhole},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.header << "' of " << c.size);
    const TByteRange range = ParseRangeHeader(c.header, c.size);
    EXPECT_EQ(range.Kind, c.kind);
    if (c.kind == kPart) {
      EXPECT_EQ(range.First, c.first);
      EXPECT_EQ(range.Last, c.last);
    }
  }
}

std::string ReadAll(platform::Stream& stream, std::uint32_t block) {
  std::string out;
  std::string buf(block, '\0');
  for (;;) {
    std::uint32_t n = 0;
    const platform::HRESULT hr = stream.Read(buf.data(), block, &n);
    if (platform::Failed(hr)) return "failed";
    out.append(buf.data(), n);
    if (n < block) return out;
  }
}

std::string Noise(std::size_t size) {
  std::mt19937 random(7);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

// A small entry read whole, an entry big enough to be streamed at the
// default threshold, and a file beside the executable.
class RangeTest : public ResourceServerTest {
 protected:
  void SetUp() override {
    ResourceServerTest::SetUp();
    archive_ = WriteArchive({{"webapp/small.txt", "0123456789"}, {"webapp/movie.mp4", big_}});
    zip_.SetStream(archive_);
    test::WriteBytes(exe_dir_.File("beside.js"), std::string("abcdefghij"));
  }

  struct Answer {
    std::optional<TServedResource> served;
    int status = 0;
    std::string reason;
    std::vector<platform::HttpHeader> headers;
    std::shared_ptr<platform::Stream> content;
  };

  Answer Get(const std::string& uri, std::vector<platform::HttpHeader> headers,
             const std::string& method = "GET") {
    auto args = std::make_shared<platform::FakeWebResourceRequestedEventArgs>();
    args->request =
        std::make_shared<platform::BasicWebResourceRequest>(uri, method, std::move(headers));
    Answer answer;
    answer.served = AnswerResourceRequest(environment_.get(), args.get(), Source(), os_);
    if (!args->response) return answer;
    args->response->get_StatusCode(&answer.status);
    args->response->get_ReasonPhrase(&answer.reason);
    std::shared_ptr<platform::HttpResponseHeaders> collection;
    args->response->get_Headers(&collection);
    collection->GetIterator(&answer.headers);
    args->response->get_Content(&answer.content);
    return answer;
  }

  const std::string big_ = Noise((std::size_t{4} << 20) + 3);
  std::shared_ptr<platform::FakeEngine> engine_ = platform::MakeFakeEngine();
  std::shared_ptr<platform::FakeEnvironment> environment_ =
      std::make_shared<platform::FakeEnvironment>(engine_);
};

TEST_F(RangeTest, APartIsAnswered206WithItsBytesOnly) {
  const uint64_t size = big_.size();
  const struct {
    const char* uri;
    std::string range;
    uint64_t first;
    uint64_t last;
  } cases[] = {
      {"file:///movie.mp4", "bytes=0-99", 0, 99},
      // Across the reader's 64 KB blocks and the engine's 1 MB reads.
      {"file:///movie.mp4", "bytes=65530-65545", 65530, 65545},
      {"file:///movie.mp4", "bytes=1048000-1049000", 1048000, 1049000},
      {"file:///movie.mp4", "bytes=2000000-", 2000000, size - 1},
      {"file:///movie.mp4", "bytes=-1", size - 1, size - 1},
      {"file:///movie.mp4", "bytes=0-", 0, size - 1},
      {"file:///small.txt", "bytes=3-5", 3, 5},
      {"file:///small.txt", "bytes=-1", 9, 9},
      {"file:///beside.js", "bytes=4-100", 4, 9},
      // Addresses found once decoded are served in part all the same.
      {"file:///small.txt?v=2", "bytes=3-5", 3, 5},
      {"file:///movie.mp4#t=10", "bytes=65530-65545", 65530, 65545},
      {"file:///beside%2Ejs", "bytes=-2", 8, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.uri << " " << c.range);
    const Answer answer = Get(c.uri, {{"Accept", "*/*"}, {"Range", c.range}});
    ASSERT_TRUE(answer.served);
    const std::string whole = answer.served->Location.ends_with("movie.mp4") ? big_
                              : answer.served->Location.ends_with("small.txt")
                                  ? std::string("0123456789")
                                  : std::string("abcdefghij");
    const std::string content_range = "bytes " + std::to_string(c.first) + "-" +
                                      std::to_string(c.last) + "/" + std::to_string(whole.size());
    EXPECT_EQ(answer.status, 206);
    EXPECT_EQ(answer.reason, "Partial Content");
    EXPECT_EQ(answer.served->Status, 206);
    EXPECT_EQ(answer.served->ContentRange, content_range);
    EXPECT_EQ(answer.headers, (std::vector<platform::HttpHeader>{
                                  {"Content-Type", answer.served->MimeType + "; charset=utf-8"},
                                  {"Content-Range", content_range},
                                  {"Content-Length", std::to_string(c.last - c.first + 1)},
                                  {"Accept-Ranges", "bytes"}}));
    ASSERT_TRUE(answer.content);
    // The engine learns the length by seeking to the end, then reads from
    // the start, in blocks of its choosing, and may read again.
    std::uint64_t length = 0;
    ASSERT_EQ(answer.content->Seek(0, platform::StreamSeek::kEnd, &length), platform::kSOk);
    EXPECT_EQ(length, c.last - c.first + 1);
    const std::string part = whole.substr(c.first, c.last - c.first + 1);
    for (const std::uint32_t block : {65536u, 777u}) {
      ASSERT_EQ(answer.content->Seek(0, platform::StreamSeek::kBegin, nullptr), platform::kSOk);
      EXPECT_TRUE(ReadAll(*answer.content, block) == part) << "block " << block;
    }
  }
  // A big entry's part is still read from the entry as it is asked for.
  const Answer streamed = Get("file:///movie.mp4", {{"Range", "bytes=10-"}});
  EXPECT_FALSE(streamed.served->BodyStream);
  EXPECT_TRUE(streamed.served->Body.empty());
}

TEST_F(RangeTest, ARangePastTheEndIsAnswered416WithTheSize) {
  const struct {
    const char* uri;
    const char* range;
    std::string size;
  } cases[] = {
      {"file:///movie.mp4", "bytes=4194307-", std::to_string(big_.size())},
      {"file:///small.txt", "bytes=10-12", "10"},
      {"file:///small.txt", "bytes=-0", "10"},
      {"file:///beside.js", "bytes=99-", "10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.uri << " " << c.range);
    const Answer answer = Get(c.uri, {{"Range", c.range}});
    ASSERT_TRUE(answer.served);
    EXPECT_EQ(answer.status, 416);
    EXPECT_EQ(answer.reason, "Range Not Satisfiable");
    EXPECT_EQ(answer.served->ContentRange, "bytes */" + c.size);
    EXPECT_EQ(answer.headers,
              (std::vector<platform::HttpHeader>{{"Content-Range", "bytes */" + c.size},
                                                 {"Content-Length", "0"},
                                                 {"Accept-Ranges", "bytes"}}));
    ASSERT_TRUE(answer.content);
    EXPECT_EQ(ReadAll(*answer.content, 64), "");
  }
}

TEST_F(RangeTest, RangesThatCannotBeHonouredGetTheUsualWholeAnswer) {
  const struct {
    const char* what;
    std::vector<platform::HttpHeader> headers;
    std::string method = "GET";
  } cases[] = {
      {"no range", {{"Accept", "*/*"}}},
      {"several ranges", {{"Range", "bytes=0-1,5-6"}}},
      {"malformed", {{"Range", "bytes=7-3"}}},
      {"two headers", {{"Range", "bytes=0-1"}, {"range", "bytes=0-1"}}},
      // Nothing served carries a validator, so none can match.
      {"conditional", {{"Range", "bytes=0-1"}, {"If-Range", "\"x\""}}},
      {"not a GET", {{"Range", "bytes=0-1"}}, "POST"},
      // The headers alone: no body, whether read whole or streamed.
      {"HEAD", {{"Range", "bytes=0-1"}}, "HEAD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string uri : {"file:///small.txt", "file:///movie.mp4"}) {
      SCOPED_TRACE(uri);
      const Answer answer = Get(uri, c.headers, c.method);
      ASSERT_TRUE(answer.served);
      EXPECT_EQ(answer.status, 200);
      EXPECT_EQ(answer.reason, "OK");
      EXPECT_EQ(answer.served->Status, 200);
      EXPECT_EQ(answer.headers.size(), 1u);
      ASSERT_TRUE(answer.content);
      const std::string whole = uri.ends_with("mp4") ? big_ : std::string("0123456789");
      EXPECT_TRUE(ReadAll(*answer.content, 65536) == (c.method == "HEAD" ? "" : whole));
    }
  }
}

TEST_F(RangeTest, APartEndingAtADamagedLastByteFailsThere) {
  archive_[30 + std::string("webapp/small.txt").size() + 12 + 10 + 16 + 30 +
           std::string("webapp/movie.mp4").size() + 12 + big_.size() - 1] ^= 0x01;
  zip_.SetStream(archive_);
  Answer answer = Get("file:///movie.mp4", {{"Range", "bytes=100-199"}});
  ASSERT_EQ(answer.status, 206);
  EXPECT_TRUE(ReadAll(*answer.content, 65536) == big_.substr(100, 100));
  answer = Get("file:///movie.mp4", {{"Range", "bytes=-10"}});
  ASSERT_EQ(answer.status, 206);
  EXPECT_EQ(ReadAll(*answer.content, 65536), "failed");
}

}  // namespace
}  // namespace tessel::shared
