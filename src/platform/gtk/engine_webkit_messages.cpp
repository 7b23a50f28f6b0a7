// The script message relay. window.chrome.webview is a shim injected at
// document start in every frame; what a page posts goes through a relay in
// an isolated script world, which adds the posting document's own address.
#include <gtk/gtk.h>
#include <sys/random.h>
#include <webkit2/webkit2.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/engine.h"
#include "platform/engine_basics.h"
#include "platform/gtk/engine_webkit_core.h"
#include "platform/gtk/engine_webkit_uri.h"

namespace tessel::platform::webkit {
namespace {

// window.chrome.webview: postMessage sends the value as JSON (as WebView2
// does: JSON.stringify semantics, undefined as null); replies arrive as
// "message" events whose data is the parsed value. Posting dispatches the
// JSON text to the relay (kRelayScript); the built-ins are taken before any
// page script can replace them.
constexpr char kWebViewShim[] = R"JS((function () {
  'use strict';
  if (window.chrome && window.chrome.webview) return;
  var dispatch = EventTarget.prototype.dispatchEvent;
  var listen = EventTarget.prototype.addEventListener;
  var Custom = CustomEvent;
  var Message = MessageEvent;
  var stringify = JSON.stringify;
  var parse = JSON.parse;
  var self = window;
  var target = new EventTarget();
  var webview = {
    postMessage: function (message) {
      var json = stringify(message);
      dispatch.call(self, new Custom('tessel-webview-post',
                                     { detail: json === undefined ? 'null' : json }));
    },
    addEventListener: function (type, listener, options) {
      target.addEventListener(type, listener, options);
    },
    removeEventListener: function (type, listener, options) {
      target.removeEventListener(type, listener, options);
    }
  };
  Object.defineProperty(webview, '__tesselDeliver', {
    value: function (json) {
      dispatch.call(target, new Message('message', { data: parse(json) }));
    }
  });
  // What the relay hands over for this document only.
  listen.call(self, 'tessel-webview-deliver', function (event) {
    if (typeof event.detail === 'string') webview.__tesselDeliver(event.detail);
  }, true);
  Object.freeze(webview);
  if (!window.chrome) window.chrome = {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, enumerable: true });
})();)JS";

// Runs in kBridgeWorld, where page scripts cannot reach: its globals,
// location included, are its own and cannot be replaced by the page. Only the
// top-level frame relays, and only once the host has handed it its
// document's key (tesselAdopt), which the host does for the view's own
// top-level documents alone: a window the page opened shares this script
// but never gets a key, so it never reaches the host. Until the key comes,
// what the page posts waits. What is posted is the key, a line break, the
// document's address, a line break (which neither a key nor a serialised
// address holds) and the message's JSON, one string being the cheapest
// value to carry.
constexpr char kRelayScript[] = R"JS((function () {
  'use strict';
  if (window.top !== window.self) return;
  var channel = window.webkit.messageHandlers.tesselWebview;
  var key = null, waiting = [];
  function send(json) { channel.postMessage(key + '\n' + location.href + '\n' + json); }
  window.tesselAdopt = function (given) {
    key = given;
    var queued = waiting;
    waiting = [];
    queued.forEach(send);
  };
  window.tesselDeliver = function (given, json) {
    if (given !== key) return;
    window.dispatchEvent(new CustomEvent('tessel-webview-deliver', { detail: json }));
  };
  if (typeof window.tesselPendingKey === 'string') window.tesselAdopt(window.tesselPendingKey);
  window.addEventListener('tessel-webview-post', function (event) {
    if (typeof event.detail !== 'string') return;
    if (key !== null) send(event.detail);
    else if (waiting.length < 1000) waiting.push(event.detail);
  }, true);
})();)JS";

class WebMessageReceivedArgs : public WebMessageReceivedEventArgs {
 public:
  std::string source;
  std::string json;
  std::uint64_t document_id = 0;
  HRESULT get_Source(std::string* v) override { return Out(v, source); }
  HRESULT get_DocumentId(std::uint64_t* v) override { return Out(v, document_id); }
  HRESULT get_WebMessageAsJson(std::string* v) override { return Out(v, json); }
  HRESULT TryGetWebMessageAsString(std::string* v) override {
    if (v == nullptr) return kEPointer;
    std::string text;
    if (!DecodeJsonString(json, &text)) return kEInvalidArg;
    *v = std::move(text);
    return kSOk;
  }
};

}  // namespace

void ViewCore::OpenMessageChannel() {
  g_signal_connect(content_, "script-message-received::tesselWebview",
                   G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result,
                                  gpointer data) { CoreOf(data)->ScriptMessage(result); }),
                   this);
  // Only the relay's world sees the channel; the page's world has no
  // window.webkit.messageHandlers.tesselWebview.
  webkit_user_content_manager_register_script_message_handler_in_world(content_, kMessageChannel,
                                                                       kBridgeWorld);
  // First of all scripts, in every frame, before the page's own.
  WebKitUserScript* relay = webkit_user_script_new_for_world(
      kRelayScript, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kBridgeWorld, nullptr, nullptr);
  webkit_user_content_manager_add_script(content_, relay);
  webkit_user_script_unref(relay);
  WebKitUserScript* shim =
      webkit_user_script_new(kWebViewShim, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content_, shim);
  webkit_user_script_unref(shim);
}

void ViewCore::ScriptMessage(WebKitJavascriptResult* result) {
  if (closed_ || !flags.web_message_enabled || result == nullptr) return;
  // Only the relay can post here: the document's key, "\n", the top-level
  // document's address, "\n", then the message's JSON.
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (value == nullptr || !jsc_value_is_string(value)) return;
  gchar* text = jsc_value_to_string(value);
  std::string posted = Str(text);
  g_free(text);
  const std::size_t end_of_key = posted.find('\n');
  if (end_of_key == std::string::npos) return;
  const std::optional<std::uint64_t> document = DocumentOfKey(posted.substr(0, end_of_key));
  if (!document) return;
  posted.erase(0, end_of_key + 1);
  const std::size_t end_of_source = posted.find('\n');
  if (end_of_source == std::string::npos) return;
  // A string cut inside an emoji is an ordinary text, not a reason to drop
  // the message.
  std::string json = WithoutLoneSurrogates(std::string_view(posted).substr(end_of_source + 1));
  // The shim sends JSON; anything else reached the relay by other means.
  if (!IsJson(json)) return;
  auto args = std::make_shared<WebMessageReceivedArgs>();
  args->source = FromEngineUri(std::string_view(posted).substr(0, end_of_source));
  args->json = std::move(json);
  args->document_id = *document;
  Emit([this, args] {
    web_message_received.Raise(std::shared_ptr<WebMessageReceivedEventArgs>(args));
  });
}

void ViewCore::DocumentCommitted() {
  document_id_ = ++last_document_id_;
  std::array<unsigned char, 16> bytes{};
  if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    // Never a key a page could know in advance; without randomness the
    // document simply gets no key and no channel.
    document_key_.clear();
    return;
  }
  static const char kHex[] = "0123456789abcdef";
  document_key_.clear();
  for (const unsigned char b : bytes) {
    document_key_.push_back(kHex[b >> 4]);
    document_key_.push_back(kHex[b & 0xF]);
  }
  recent_keys_.emplace_back(document_key_, document_id_);
  if (recent_keys_.size() > 16) recent_keys_.erase(recent_keys_.begin());
  // Runs in the view's top-level document only, whichever it is by then: a
  // later document adopts it too, but then gets its own key after it.
  const std::string script =
      "(function (k) { if (typeof tesselAdopt === 'function') "
      "tesselAdopt(k); else window.tesselPendingKey = k; })('" +
      document_key_ + "');";
  webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()),
                                      kBridgeWorld, nullptr, nullptr, nullptr, nullptr);
}

std::optional<std::uint64_t> ViewCore::DocumentOfKey(const std::string& key) const {
  if (key.empty()) return std::nullopt;
  for (const auto& [known, id] : recent_keys_) {
    if (known == key) return id;
  }
  return std::nullopt;
}

bool ViewCore::DeliverToDocument(std::uint64_t document_id, const std::string& json) {
  if (document_id == 0 || document_id != document_id_ || document_key_.empty()) return false;
  // The key is checked in the page when the script runs: a document the
  // engine shows by then but has not reported yet holds another key.
  const std::string script =
      "tesselDeliver('" + document_key_ + "', " + EncodeJsonString(json) + ");";
  webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()),
                                      kBridgeWorld, nullptr, nullptr, nullptr, nullptr);
  return true;
}

void DeliverWebMessage(WebKitWebView* view, const std::string& json) {
  // The JSON travels as a string literal and is parsed by the page, so it
  // is never evaluated as code.
  const std::string script =
      "window.chrome && window.chrome.webview && window.chrome.webview.__tesselDeliver(" +
      EncodeJsonString(json) + ");";
  webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace tessel::platform::webkit
