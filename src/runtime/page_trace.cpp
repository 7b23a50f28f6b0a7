#include "runtime/page_trace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "shared/utf.h"

namespace tessel::runtime {
namespace {

using nlohmann::json;

constexpr std::string_view kEntryMember = "vtx-trace";
constexpr std::size_t kMaxMessageShown = 300;

// Reports console calls and uncaught errors of the top-level document as
// {"vtx-trace": {kind, text, source, line}}. A script of the page's own
// origin is reported by its path alone, so the host names it by the
// document's real address; the page cannot lend its lines another origin.
constexpr std::string_view kScript = R"JS((function () {
  "use strict";
  var webview = window.chrome && window.chrome.webview;
  if (!webview || window.top !== window.self) return;
  var post = webview.postMessage.bind(webview);
  var origin = location.origin;
  var MAX = 8192;
  var at = /([a-zA-Z][\w+.-]*:[^\s()]*?):(\d+):\d+\)?\s*$/;
  function locate(frame) {
    var m = at.exec(frame);
    return m ? { source: m[1], line: Number(m[2]) } : null;
  }
  var own = locate((new Error().stack || "").split("\n")[0] || "");
  function text(value) {
    try {
      if (typeof value === "string") return value;
      if (value instanceof Error) return String(value);
      var json = JSON.stringify(value);
      return json === undefined ? String(value) : json;
    } catch (e) {
      try { return String(value); } catch (e2) { return "[value]"; }
    }
  }
  function relative(source) {
    source = String(source || "");
    if (origin !== "null" && source.indexOf(origin + "/") === 0) return source.slice(origin.length);
    return source;
  }
  function send(kind, values, source, line) {
    var parts = [];
    for (var i = 0; i < values.length; i++) parts.push(text(values[i]));
    var joined = parts.join(" ");
    if (joined.length > MAX) joined = joined.slice(0, MAX);
    try {
      post({ "vtx-trace": { kind: kind, text: joined, source: relative(source),
                            line: Number(line) || 0 } });
    } catch (e) {}
  }
  function caller() {
    var frames = (new Error().stack || "").split("\n");
    for (var i = 0; i < frames.length; i++) {
      var place = locate(frames[i]);
      if (place && !(own && place.source === own.source)) return place;
    }
    return { source: "", line: 0 };
  }
  ["log", "info", "warn", "error", "debug"].forEach(function (level) {
    var original = console[level];
    console[level] = function () {
      var place = caller();
      send("console." + level, arguments, place.source, place.line);
      return original.apply(console, arguments);
    };
  });
  window.addEventListener("error", function (event) {
    if (!(event instanceof ErrorEvent)) return;
    send("uncaught error", [event.message], event.filename, event.lineno);
  });
  window.addEventListener("unhandledrejection", function (event) {
    var reason = event.reason;
    var place = reason instanceof Error && reason.stack ? locate(reason.stack.split("\n")[0]) : null;
    send("unhandled rejection", [reason], place ? place.source : "", place ? place.line : 0);
  });
})();)JS";

bool IsEscaped(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x061C;
}

std::string Hex(const char* format, unsigned value) {
  std::array<char, 16> buffer{};
  std::snprintf(buffer.data(), buffer.size(), format, value);
  return buffer.data();
}

// Scheme and authority: "https://host" of "https://host/a", "file://" of
// "file:///a", "about:" of "about:blank".
std::string_view OriginOf(std::string_view address) {
  const std::size_t scheme_end = address.find(':');
  if (scheme_end == std::string_view::npos) return {};
  if (address.substr(scheme_end, 3) != "://") return address.substr(0, scheme_end + 1);
  const std::size_t path = address.find('/', scheme_end + 3);
  return address.substr(0, path == std::string_view::npos ? address.size() : path);
}

bool IsKnownKind(std::string_view kind) {
  constexpr std::array<std::string_view, 7> kKinds = {
      "console.log",   "console.info",   "console.warn",       "console.error",
      "console.debug", "uncaught error", "unhandled rejection"};
  return std::find(kKinds.begin(), kKinds.end(), kind) != kKinds.end();
}

}  // namespace

std::string TraceText(std::string_view text, std::size_t max_bytes) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size() && pos < max_bytes) {
    const std::size_t start = pos;
    const char32_t cp = shared::utf::DecodeUtf8(text, pos);
    if (cp == shared::utf::kReplacement && pos == start + 1 &&
        static_cast<unsigned char>(text[start]) >= 0x80) {
      out += Hex("\\x%02x", static_cast<unsigned char>(text[start]));
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\\') {
      out += "\\\\";
    } else if (IsEscaped(cp)) {
      out += cp <= 0xFF ? Hex("\\x%02x", static_cast<unsigned>(cp))
                        : Hex("\\u%04x", static_cast<unsigned>(cp));
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  if (pos < text.size()) out += "... (" + std::to_string(text.size() - pos) + " more bytes)";
  return out;
}

TPageTrace::TPageTrace(Output out, Clock clock)
    : FOut(std::move(out)), FClock(std::move(clock)), FLastRefill(FClock()) {}

std::string_view TPageTrace::Script() { return kScript; }

bool TPageTrace::WebMessage(platform::WebMessageReceivedEventArgs& args) {
  FLastMessage.clear();
  std::string message_json;
  if (platform::Failed(args.get_WebMessageAsJson(&message_json))) return false;
  const json message = json::parse(message_json, nullptr, /*allow_exceptions=*/false);
  const json* entry = nullptr;
  if (message.is_object()) {
    const auto it = message.find(kEntryMember);
    if (it != message.end()) entry = &*it;
  }
  if (entry == nullptr) {
    FLastMessage = std::move(message_json);
    return false;
  }
  // A malformed entry is taken too: it is no bridge call either.
  if (!entry->is_object()) return true;
  const auto kind = entry->find("kind");
  const auto text = entry->find("text");
  if (kind == entry->end() || !kind->is_string() ||
      !IsKnownKind(kind->get_ref<const std::string&>()) || text == entry->end() ||
      !text->is_string()) {
    return true;
  }
  std::string document;
  if (platform::Failed(args.get_Source(&document))) document.clear();

  std::string source;
  if (const auto it = entry->find("source"); it != entry->end() && it->is_string()) {
    source = it->get<std::string>();
  }
  if (source.empty()) {
    source = document;
  } else if (source.front() == '/') {
    source = std::string(OriginOf(document)) + source;
  }
  std::string where = TraceText(source, kMaxAddress);
  if (const auto it = entry->find("line"); it != entry->end() && it->is_number_unsigned()) {
    const auto line = it->get<std::uint64_t>();
    if (line > 0) where += ":" + std::to_string(line);
  }
  // A line that names another origin than its document's says whose it is.
  if (OriginOf(source) != OriginOf(document)) {
    where += " (in page " + TraceText(document, kMaxAddress) + ")";
  }
  PrintLine("tessel: " + kind->get<std::string>() + " " + where + ": " +
            TraceText(text->get_ref<const std::string&>(), kMaxText));
  return true;
}

void TPageTrace::Unanswered(std::string_view reason) {
  std::string line = "tessel: bridge message not answered: " + TraceText(reason, kMaxText);
  if (!FLastMessage.empty()) line += "; message " + TraceText(FLastMessage, kMaxMessageShown);
  PrintLine(line);
}

void TPageTrace::ReplyDropped(std::string_view uuid) {
  PrintLine("tessel: reply to " + TraceText(uuid, kMaxAddress) +
            " dropped: the document that asked is no longer shown");
}

void TPageTrace::Unserved(std::string_view uri) {
  PrintLine("tessel: not served " + TraceText(uri, kMaxAddress));
}

void TPageTrace::PrintLine(const std::string& line) {
  const auto now = FClock();
  const std::chrono::duration<double> elapsed = now - FLastRefill;
  FLastRefill = now;
  FTokens = std::min<double>(kBurst, FTokens + std::max(0.0, elapsed.count()) * kPerSecond);
  if (FTokens < 1) {
    ++FSuppressed;
    return;
  }
  FTokens -= 1;
  if (FSuppressed > 0) {
    FOut("tessel: " + std::to_string(FSuppressed) + " page trace lines left out (more than " +
         std::to_string(kPerSecond) + " a second)\n");
    FSuppressed = 0;
  }
  FOut(line + "\n");
}

}  // namespace tessel::runtime
