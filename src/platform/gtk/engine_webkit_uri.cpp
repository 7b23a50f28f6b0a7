#include "platform/gtk/engine_webkit_uri.h"

#include <array>
#include <utility>

#include "platform/engine_basics.h"
#include "shared/utf.h"

namespace tessel::platform::webkit {
namespace {

constexpr std::string_view kFileRoot = "file:///";
constexpr std::string_view kFileLocalhostRoot = "file://localhost/";
constexpr std::string_view kAppRootView = kAppRoot;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    // An invalid byte decodes to U+FFFD alone; a real U+FFFD takes three.
    if (shared::utf::DecodeUtf8(text, at) == shared::utf::kReplacement && at == start + 1) {
      return false;
    }
  }
  return true;
}

bool HasDotSegment(std::string_view path) {
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return true;
    start = end + 1;
  }
  return false;
}

std::string_view Extension(std::string_view uri) {
  uri = uri.substr(0, uri.find_first_of("?#"));
  const auto slash = uri.rfind('/');
  const auto dot = uri.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return uri.substr(dot + 1);
}

}  // namespace

std::string ToEngineUri(std::string_view uri) {
  if (StartsWithIgnoreAsciiCase(uri, kFileRoot)) {
    return std::string(kAppRootView) + std::string(uri.substr(kFileRoot.size()));
  }
  if (StartsWithIgnoreAsciiCase(uri, kFileLocalhostRoot)) {
    return std::string(kAppRootView) + std::string(uri.substr(kFileLocalhostRoot.size()));
  }
  return std::string(uri);
}

std::string FromEngineUri(std::string_view uri) {
  if (StartsWithIgnoreAsciiCase(uri, kAppRootView)) {
    return std::string(kFileRoot) + std::string(uri.substr(kAppRootView.size()));
  }
  // The root itself, as WebKit may write it without the final slash.
  if (EqualsIgnoreAsciiCase(uri, kAppRootView.substr(0, kAppRootView.size() - 1))) {
    return std::string(kFileRoot);
  }
  return std::string(uri);
}

std::string FromEngineRequestUri(std::string_view uri) {
  return FromEngineUri(uri.substr(0, uri.find('#')));
}

std::optional<std::string> FilePathOfUri(std::string_view uri) {
  std::string_view rest;
  if (StartsWithIgnoreAsciiCase(uri, kFileRoot)) {
    rest = uri.substr(kFileRoot.size() - 1);
  } else if (StartsWithIgnoreAsciiCase(uri, kFileLocalhostRoot)) {
    rest = uri.substr(kFileLocalhostRoot.size() - 1);
  } else {
    return std::nullopt;
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    if (i + 2 >= rest.size()) return std::nullopt;
    const int high = HexValue(rest[i + 1]);
    const int low = HexValue(rest[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const char decoded = static_cast<char>(high * 16 + low);
    if (decoded == '\0' || decoded == '/' || decoded == '\\') return std::nullopt;
    path += decoded;
    i += 2;
  }
  if (!IsUtf8(path) || HasDotSegment(path)) return std::nullopt;
  return path;
}

WebResourceContext GuessResourceContext(std::string_view uri, std::string_view accept) {
  if (StartsWithIgnoreAsciiCase(accept, "text/html")) return WebResourceContext::kDocument;
  if (StartsWithIgnoreAsciiCase(accept, "text/css")) return WebResourceContext::kStylesheet;
  if (StartsWithIgnoreAsciiCase(accept, "image/")) return WebResourceContext::kImage;
  static constexpr std::array<std::pair<std::string_view, WebResourceContext>, 22> kByExtension{{
      {"html", WebResourceContext::kDocument},  {"htm", WebResourceContext::kDocument},
      {"css", WebResourceContext::kStylesheet}, {"js", WebResourceContext::kScript},
      {"mjs", WebResourceContext::kScript},     {"png", WebResourceContext::kImage},
      {"jpg", WebResourceContext::kImage},      {"jpeg", WebResourceContext::kImage},
      {"gif", WebResourceContext::kImage},      {"svg", WebResourceContext::kImage},
      {"webp", WebResourceContext::kImage},     {"ico", WebResourceContext::kImage},
      {"woff", WebResourceContext::kFont},      {"woff2", WebResourceContext::kFont},
      {"ttf", WebResourceContext::kFont},       {"otf", WebResourceContext::kFont},
      {"mp4", WebResourceContext::kMedia},      {"webm", WebResourceContext::kMedia},
      {"mp3", WebResourceContext::kMedia},      {"ogg", WebResourceContext::kMedia},
      {"wav", WebResourceContext::kMedia},      {"vtt", WebResourceContext::kTextTrack},
  }};
  const auto extension = Extension(uri);
  for (const auto& [known, context] : kByExtension) {
    if (EqualsIgnoreAsciiCase(extension, known)) return context;
  }
  return WebResourceContext::kOther;
}

}  // namespace tessel::platform::webkit
