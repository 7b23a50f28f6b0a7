#include "platform/gtk/engine_webkit_uri.h"

#include <array>
#include <utility>

#include "platform/engine_basics.h"

namespace tessel::platform::webkit {
namespace {

constexpr std::string_view kFileRoot = "file:///";
constexpr std::string_view kFileLocalhostRoot = "file://localhost/";
constexpr std::string_view kAppRootView = kAppRoot;

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
  return DecodeAddressPath(rest);
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
