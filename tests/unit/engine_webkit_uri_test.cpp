#include "platform/gtk/engine_webkit_uri.h"

#include <gtest/gtest.h>

#include "address_decoding_cases.h"

namespace tessel::platform::webkit {
namespace {

TEST(EngineWebKitUri, TranslatesTheAppsOwnAddressesBothWays) {
  const std::pair<const char*, const char*> cases[] = {
      {"file:///index.html", "tessel-app://app/index.html"},
      {"file:///css/site.css?v=2#top", "tessel-app://app/css/site.css?v=2#top"},
      {"FILE:///Index.HTML", "tessel-app://app/Index.HTML"},
      {"file://localhost/a%20b.html", "tessel-app://app/a%20b.html"},
      {"file:///", "tessel-app://app/"},
  };
  for (const auto& [public_uri, engine_uri] : cases) {
    EXPECT_EQ(ToEngineUri(public_uri), engine_uri) << public_uri;
  }
  // Back again: the component sees file:/// exactly.
  EXPECT_EQ(FromEngineUri("tessel-app://app/index.html"), "file:///index.html");
  EXPECT_EQ(FromEngineUri("TESSEL-APP://APP/css/site.css?v=2#top"), "file:///css/site.css?v=2#top");
  EXPECT_EQ(FromEngineUri("tessel-app://app"), "file:///");
  // Everything else passes untouched.
  for (const char* other : {"https://example.com/file:///x", "about:blank", "file://server/share/x",
                            "tessel-app://other/x", "data:text/html,hi", ""}) {
    EXPECT_EQ(ToEngineUri(other), other);
    EXPECT_EQ(FromEngineUri(other), other);
  }
}

TEST(EngineWebKitUri, FilePathsAreDecodedAndBadEscapesRefused) {
  EXPECT_EQ(FilePathOfUri("file:///tmp/a%20b.html?x#y"), "/tmp/a b.html");
  EXPECT_EQ(FilePathOfUri("file://localhost/tmp/%C3%A9.txt"), "/tmp/\xC3\xA9.txt");
  EXPECT_EQ(FilePathOfUri("file:///"), "/");
  EXPECT_EQ(FilePathOfUri("file:///a%2"), std::nullopt);
  EXPECT_EQ(FilePathOfUri("file:///a%zz"), std::nullopt);
  EXPECT_EQ(FilePathOfUri("file:///a%00b"), std::nullopt);
  EXPECT_EQ(FilePathOfUri("https://x/a"), std::nullopt);
  EXPECT_EQ(FilePathOfUri("file://server/a"), std::nullopt);
}

// The module reads only what the host's lookups tried before they left the
// request (the same table drives resource_server_test).
TEST(EngineWebKitUri, FilePathsAreDecodedAsTheHostDecodesThem) {
  for (const auto& c : test::kAddressDecodingCases) {
    SCOPED_TRACE(c.written);
    const auto path = FilePathOfUri(std::string("file:///srv/") + c.written);
    if (c.meant == nullptr) {
      EXPECT_EQ(path, std::nullopt);
    } else {
      EXPECT_EQ(path, std::string("/srv/") + c.meant);
    }
  }
}

// A fragment never reaches the host as part of a name; a query does, so an
// entry really called "a?b" can still be found.
TEST(EngineWebKitUri, RequestsKeepTheirQueryButNotTheirFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"tessel-app://app/other.html#part2", "file:///other.html"},
      {"tessel-app://app/css/site.css?v=2#top", "file:///css/site.css?v=2"},
      {"tessel-app://app/a?b", "file:///a?b"},
      {"tessel-app://app/a%23b.txt", "file:///a%23b.txt"},
      {"tessel-app://app#x", "file:///"},
      {"https://example.com/x#y", "https://example.com/x"},
  };
  for (const auto& [engine_uri, request_uri] : cases) {
    EXPECT_EQ(FromEngineRequestUri(engine_uri), request_uri) << engine_uri;
  }
}

TEST(EngineWebKitUri, ResourceKindsComeFromAcceptThenExtension) {
  EXPECT_EQ(GuessResourceContext("file:///x", "text/html,application/xhtml+xml"),
            WebResourceContext::kDocument);
  EXPECT_EQ(GuessResourceContext("file:///x", "text/css,*/*;q=0.1"),
            WebResourceContext::kStylesheet);
  EXPECT_EQ(GuessResourceContext("file:///x", "image/webp,*/*"), WebResourceContext::kImage);
  EXPECT_EQ(GuessResourceContext("file:///js/app.mjs?v=1", "*/*"), WebResourceContext::kScript);
  EXPECT_EQ(GuessResourceContext("file:///f/a.WOFF2", "*/*"), WebResourceContext::kFont);
  EXPECT_EQ(GuessResourceContext("file:///dir.v2/data", "*/*"), WebResourceContext::kOther);
}

}  // namespace
}  // namespace tessel::platform::webkit
