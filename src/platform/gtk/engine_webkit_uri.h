// Address translation of the WebKitGTK engine. WebKitGTK refuses to take
// over "file:", so the app's own pages live under a private scheme with a
// fixed host, and the module translates both ways: the component and
// everything above it see "file:///css/site.css", the engine (and the page
// itself, in location.href) "tessel-app://app/css/site.css". The host is what
// lets relative addresses resolve. No GTK in here, so it can be tested alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/engine.h"

namespace tessel::platform::webkit {

inline constexpr char kAppScheme[] = "tessel-app";
inline constexpr char kAppRoot[] = "tessel-app://app/";

// "file:///x" and "file://localhost/x" (any letter case in scheme and host)
// become "tessel-app://app/x"; every other address is returned unchanged.
std::string ToEngineUri(std::string_view uri);

// "tessel-app://app/x" becomes "file:///x"; every other address is returned
// unchanged.
std::string FromEngineUri(std::string_view uri);

// FromEngineUri of a request's address, without its fragment: a fragment is
// never part of what is asked for, and the host looks the name up as it
// comes. The query stays.
std::string FromEngineRequestUri(std::string_view uri);

// The absolute path a "file:///" address names: the part before "?" or "#",
// percent-decoded. Nothing for other addresses, for a malformed escape, for
// an escape that makes a NUL, '/' or '\', for bytes that are not UTF-8 and
// for a "." or ".." segment: the rule by which the host's lookups decode an
// address, so a file read here is one the host's absolute lookup tried
// first, and a request it left finds nothing here either.
std::optional<std::string> FilePathOfUri(std::string_view uri);

// What kind of resource a request of the private scheme is, from its Accept
// header and its extension (WebKit does not say).
WebResourceContext GuessResourceContext(std::string_view uri, std::string_view accept);

}  // namespace tessel::platform::webkit
