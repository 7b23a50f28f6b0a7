// What TESSEL_TRACE=1 adds for app authors: the page's console messages and
// uncaught errors, requests nobody could serve, and bridge messages that
// get no answer, each as one line on a stream (standard error).
//
// Everything printed here comes from a page, and a page may be hostile: every
// text is cut to a size and written with its control and direction-changing
// characters escaped, so it cannot end its line or pose as one of the host's
// own lines; a page that is not the app's own is named as such; and past a
// burst the lines are thinned out to a steady rate, with a count of what was
// left out. UI thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/engine.h"

namespace tessel::runtime {

// `text` as one printable line: control characters, DEL, C1 controls and the
// Unicode line, paragraph and direction-changing characters become escapes
// (\n, \t, \x1b, \u202e), an invalid UTF-8 byte becomes \xNN, and beyond
// `max_bytes` of input the rest is replaced by "... (N more bytes)".
std::string TraceText(std::string_view text, std::size_t max_bytes);

class TPageTrace {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // Lines a page may cause at once, and how many a second after that.
  static constexpr int kBurst = 1000;
  static constexpr int kPerSecond = 200;
  // Largest message text and script address printed, in bytes of input.
  static constexpr std::size_t kMaxText = 4000;
  static constexpr std::size_t kMaxAddress = 500;

  // Where the lines go, each whole with its line end.
  using Output = std::function<void(std::string_view text)>;

  explicit TPageTrace(Output out, Clock clock = std::chrono::steady_clock::now);

  // The script that reports a document's console messages and uncaught
  // errors through window.chrome.webview; to run first in every document.
  static std::string_view Script();

  // Takes a web message: true when it is a trace entry of Script() (printed,
  // not for the bridge). Otherwise the message is remembered for Unanswered
  // until the next call.
  bool WebMessage(platform::WebMessageReceivedEventArgs& args);
  // The bridge dropped the last message without an answer, for `reason`.
  void Unanswered(std::string_view reason);
  // The reply to `uuid` was dropped: the document that asked is gone.
  void ReplyDropped(std::string_view uuid);
  // A "file:" request that neither the archive nor the disk could serve,
  // the address as requested. Nothing serves it after the host: the
  // WebKitGTK module reads a request the host left only from a file the
  // host's lookups tried first. WebView2 reads file addresses by its own
  // rules, which the host's decoded pass follows as far as they are known
  // (query and fragment cut, escapes decoded, encoded separators refused);
  // the adapter cannot tell what it read.
  void Unserved(std::string_view uri);

 private:
  void PrintLine(const std::string& line);

  Output FOut;
  Clock FClock;
  double FTokens = kBurst;
  std::chrono::steady_clock::time_point FLastRefill;
  long FSuppressed = 0;
  std::string FLastMessage;
};

}  // namespace tessel::runtime
