// Building blocks shared by the engine implementations (fake, WebKitGTK,
// WebView2 adapters) and the web view component: streams, header
// collections, request and response objects, event lists, filter matching
// and the JSON checks the seam's contract asks for. Portable; no platform
// header.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/engine.h"

namespace tessel::platform {

// A stream over bytes in memory, positioned at its start.
std::shared_ptr<Stream> MakeMemoryStream(std::string content = {});

// Opens `path` (UTF-8) as a read-write stream, creating the file or
// truncating it. kEPathNotFound when its folder does not exist,
// kEAccessDenied when it may not be written, kEFail otherwise.
HRESULT CreateFileStream(const std::string& path, std::shared_ptr<Stream>* stream);

// Everything from the stream's start to its end; the position ends at the end.
// kEPointer for a null stream.
HRESULT ReadWholeStream(Stream* stream, std::string* bytes);

// Header collections in send order. Names compare without regard to ASCII case.
class BasicHttpHeaders : public HttpRequestHeaders {
 public:
  BasicHttpHeaders() = default;
  explicit BasicHttpHeaders(std::vector<HttpHeader> headers) : headers_(std::move(headers)) {}

  HRESULT GetHeader(const std::string& name, std::string* value) override;
  HRESULT GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) override;
  HRESULT Contains(const std::string& name, bool* contains) override;
  HRESULT SetHeader(const std::string& name, const std::string& value) override;
  HRESULT RemoveHeader(const std::string& name) override;
  HRESULT GetIterator(std::vector<HttpHeader>* headers) override;

  const std::vector<HttpHeader>& headers() const { return headers_; }

 private:
  std::vector<HttpHeader> headers_;
};

class BasicHttpResponseHeaders : public HttpResponseHeaders {
 public:
  BasicHttpResponseHeaders() = default;
  explicit BasicHttpResponseHeaders(std::vector<HttpHeader> headers)
      : headers_(std::move(headers)) {}

  HRESULT AppendHeader(const std::string& name, const std::string& value) override;
  HRESULT Contains(const std::string& name, bool* contains) override;
  HRESULT GetHeader(const std::string& name, std::string* value) override;
  HRESULT GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) override;
  HRESULT GetIterator(std::vector<HttpHeader>* headers) override;

  const std::vector<HttpHeader>& headers() const { return headers_; }

 private:
  std::vector<HttpHeader> headers_;
};

// Splits "Name: value" lines (CR LF or LF); lines without a colon or with an
// empty name are skipped; the value loses blanks at both ends.
std::vector<HttpHeader> ParseHeaderLines(std::string_view text);

class BasicWebResourceRequest : public WebResourceRequest {
 public:
  BasicWebResourceRequest(std::string uri, std::string method, std::vector<HttpHeader> headers = {},
                          std::shared_ptr<Stream> content = nullptr);

  HRESULT get_Uri(std::string* uri) override;
  HRESULT put_Uri(const std::string& uri) override;
  HRESULT get_Method(std::string* method) override;
  HRESULT put_Method(const std::string& method) override;
  HRESULT get_Content(std::shared_ptr<Stream>* content) override;
  HRESULT put_Content(std::shared_ptr<Stream> content) override;
  HRESULT get_Headers(std::shared_ptr<HttpRequestHeaders>* headers) override;

 private:
  std::string uri_;
  std::string method_;
  std::shared_ptr<BasicHttpHeaders> headers_;
  std::shared_ptr<Stream> content_;
};

class BasicWebResourceResponse : public WebResourceResponse {
 public:
  BasicWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                           std::string reason_phrase, std::vector<HttpHeader> headers);

  HRESULT get_Content(std::shared_ptr<Stream>* content) override;
  HRESULT put_Content(std::shared_ptr<Stream> content) override;
  HRESULT get_Headers(std::shared_ptr<HttpResponseHeaders>* headers) override;
  HRESULT get_StatusCode(int* status_code) override;
  HRESULT put_StatusCode(int status_code) override;
  HRESULT get_ReasonPhrase(std::string* reason) override;
  HRESULT put_ReasonPhrase(const std::string& reason) override;

  // For the engine delivering the response.
  const std::vector<HttpHeader>& headers() const { return headers_->headers(); }

 private:
  std::shared_ptr<Stream> content_;
  int status_code_;
  std::string reason_phrase_;
  std::shared_ptr<BasicHttpResponseHeaders> headers_;
};

// EngineEnvironment::CreateWebResourceResponse for any engine.
HRESULT MakeWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                const std::string& reason_phrase, const std::string& headers,
                                std::shared_ptr<WebResourceResponse>* response);

// A fresh subscription token: non-zero and never handed out before in this
// process. Any thread.
EventRegistrationToken NextEventToken();

// The handlers of one event. Raise calls every handler in the order added;
// a handler removed by an earlier one during the same Raise is skipped; what
// a handler throws is swallowed, so nothing crosses back into the engine.
template <typename Handler>
class EventList {
 public:
  HRESULT Add(Handler handler, EventRegistrationToken* token) {
    if (token == nullptr) return kEPointer;
    if (!handler) return kEInvalidArg;
    auto entry = std::make_shared<Entry>(Entry{NextEventToken(), std::move(handler), true});
    entries_.push_back(entry);
    *token = entry->token;
    return kSOk;
  }

  HRESULT Remove(EventRegistrationToken token) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if ((*it)->token == token) {
        (*it)->live = false;
        entries_.erase(it);
        break;
      }
    }
    return kSOk;
  }

  template <typename... Args>
  void Raise(const Args&... args) {
    auto snapshot = entries_;
    for (const auto& entry : snapshot) {
      if (!entry->live) continue;
      try {
        entry->handler(args...);
      } catch (...) {
      }
    }
  }

  void Clear() {
    for (auto& entry : entries_) entry->live = false;
    entries_.clear();
  }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  struct Entry {
    EventRegistrationToken token;
    Handler handler;
    bool live;
  };
  std::vector<std::shared_ptr<Entry>> entries_;
};

// The seam's events, one line each: X(Name, field, Handler) stands for the
// add_Name/remove_Name pair, the field an implementation keeps the handlers
// in, and the handler type. DownloadStarting is not among them: the seam
// makes it optional (refused unless an engine overrides it).
#define TESSEL_ENGINE_WEB_VIEW_EVENTS(X)                                                        \
  X(NavigationStarting, navigation_starting, NavigationStartingEventHandler)                    \
  X(NavigationCompleted, navigation_completed, NavigationCompletedEventHandler)                 \
  X(SourceChanged, source_changed, SourceChangedEventHandler)                                   \
  X(HistoryChanged, history_changed, NotifyEventHandler)                                        \
  X(ContentLoading, content_loading, ContentLoadingEventHandler)                                \
  X(DocumentTitleChanged, document_title_changed, NotifyEventHandler)                           \
  X(NewWindowRequested, new_window_requested, NewWindowRequestedEventHandler)                   \
  X(FrameNavigationStarting, frame_navigation_starting, NavigationStartingEventHandler)         \
  X(FrameNavigationCompleted, frame_navigation_completed, NavigationCompletedEventHandler)      \
  X(WebResourceRequested, web_resource_requested, WebResourceRequestedEventHandler)             \
  X(ScriptDialogOpening, script_dialog_opening, ScriptDialogOpeningEventHandler)                \
  X(PermissionRequested, permission_requested, PermissionRequestedEventHandler)                 \
  X(ProcessFailed, process_failed, ProcessFailedEventHandler)                                   \
  X(WebMessageReceived, web_message_received, WebMessageReceivedEventHandler)                   \
  X(ContainsFullScreenElementChanged, contains_full_screen_element_changed, NotifyEventHandler) \
  X(WindowCloseRequested, window_close_requested, NotifyEventHandler)

#define TESSEL_ENGINE_CONTROLLER_EVENTS(X)                                    \
  X(ZoomFactorChanged, zoom_factor_changed, NotifyEventHandler)               \
  X(MoveFocusRequested, move_focus_requested, MoveFocusRequestedEventHandler) \
  X(GotFocus, got_focus, NotifyEventHandler)                                  \
  X(LostFocus, lost_focus, NotifyEventHandler)                                \
  X(AcceleratorKeyPressed, accelerator_key_pressed, AcceleratorKeyPressedEventHandler)

// The settings flags: X(Name, field, initial) stands for get_Name/put_Name,
// the field an implementation that keeps the flag itself stores it in, and
// the value a new view starts with.
#define TESSEL_ENGINE_SETTINGS(X)                                         \
  X(IsScriptEnabled, script_enabled, true)                                \
  X(IsWebMessageEnabled, web_message_enabled, true)                       \
  X(AreDefaultScriptDialogsEnabled, default_script_dialogs_enabled, true) \
  X(IsStatusBarEnabled, status_bar_enabled, true)                         \
  X(AreDevToolsEnabled, dev_tools_enabled, true)                          \
  X(AreDefaultContextMenusEnabled, default_context_menus_enabled, true)   \
  X(IsZoomControlEnabled, zoom_control_enabled, true)                     \
  X(IsBuiltInErrorPageEnabled, built_in_error_page_enabled, true)

#define TESSEL_ENGINE_EVENT_LIST(Name, field, Handler) EventList<Handler> field;

// The handlers of every event of the table, for implementations that keep
// them themselves; SubscriptionCount counts the live subscriptions of all.
struct WebViewEventLists {
  TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_ENGINE_EVENT_LIST)
  void Clear();
  std::size_t SubscriptionCount() const;
};

struct ControllerEventLists {
  TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_ENGINE_EVENT_LIST)
  void Clear();
  std::size_t SubscriptionCount() const;
};

#undef TESSEL_ENGINE_EVENT_LIST

// Every settings flag at its initial value.
struct EngineFlags {
#define TESSEL_ENGINE_FLAG(Name, field, initial) bool field = initial;
  TESSEL_ENGINE_SETTINGS(TESSEL_ENGINE_FLAG)
#undef TESSEL_ENGINE_FLAG
};

// One resource filter.
struct ResourceFilter {
  std::string uri;
  WebResourceContext context;
};

// Filter matching for WebResourceRequested: `*` any run, `?` one character,
// ASCII letters without regard to case.
bool WildcardMatch(std::string_view pattern, std::string_view text);
bool FiltersMatch(const std::vector<ResourceFilter>& filters, std::string_view uri,
                  WebResourceContext context);

// True when `text` is one complete JSON value (RFC 8259).
bool IsJson(std::string_view text);

// `json` with every escaped lone UTF-16 surrogate ("\ud83d" without its
// pair, as JSON.stringify writes a string cut inside an emoji) turned into
// "\ufffd", so that UTF-8 parsers take it; everything else unchanged.
std::string WithoutLoneSurrogates(std::string_view json);

// When `json` is a JSON string, its value in UTF-8 and true; false otherwise.
bool DecodeJsonString(std::string_view json, std::string* text);

// `text` as a JSON string literal (quotes included).
std::string EncodeJsonString(std::string_view text);

// `text` without the blanks (spaces, tabs; a carriage return at the end) a
// header line may carry around its name or value.
std::string_view TrimBlanks(std::string_view text);

// Where a seek of `move` from `origin` lands in a stream of `size` bytes now
// at `current`, as IStream defines it: past the end is allowed, before the
// start or beyond 2^64 is kEInvalidArg.
HRESULT SeekPosition(std::uint64_t current, std::uint64_t size, std::int64_t move,
                     StreamSeek origin, std::uint64_t* result);

// ASCII case-insensitive comparisons.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreAsciiCase(std::string_view text, std::string_view prefix);

// Whether a "." or ".." segment ('/' and '\' both separate) could take
// `path` out of the folder it is read below.
bool HasDotSegment(std::string_view path);

// The file name a page meant by the path of an address: without its query
// and fragment, percent escapes decoded. An escape cannot make a separator
// ('/' or '\') or a NUL, and no "." or ".." segment may come out, so the
// name has the segments the written one has and climbs out of no folder it
// is read below. nullopt for a malformed escape and for bytes that are not
// UTF-8. Browsers' own file loaders refuse encoded separators too.
std::optional<std::string> DecodeAddressPath(std::string_view path);

}  // namespace tessel::platform
