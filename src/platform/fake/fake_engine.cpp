#include "platform/fake/fake_engine.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/ui_dispatch.h"

namespace tessel::platform {
namespace {

// A 1x1 transparent PNG and the shortest JPEG frame markers: enough for
// callers that check what they received.
constexpr unsigned char kPng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0B, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0x60, 0x00, 0x02, 0x00, 0x00, 0x05, 0x00, 0x01, 0x7A, 0x5E, 0xAB, 0x3F,
    0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
constexpr unsigned char kJpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};

constexpr char kNotFoundPage[] =
    "<!DOCTYPE html><html><head><title>Not Found</title></head>"
    "<body>The file was not found.</body></html>";

bool HasScheme(const std::string& uri) {
  const auto colon = uri.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(uri[0]))) return false;
  return std::all_of(uri.begin(), uri.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ExtractTitle(const std::string& html) {
  std::string lower = html;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto open = lower.find("<title>");
  if (open == std::string::npos) return {};
  const auto start = open + 7;
  const auto close = lower.find("</title>", start);
  if (close == std::string::npos) return {};
  std::string title = html.substr(start, close - start);
  const auto first = title.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = title.find_last_not_of(" \t\r\n");
  return title.substr(first, last - first + 1);
}

template <typename T>
HRESULT Out(T* out, const T& value, HRESULT check) {
  if (Failed(check)) return check;
  if (out == nullptr) return kEPointer;
  *out = value;
  return kSOk;
}

class FakeLoader : public EngineLoader {
 public:
  explicit FakeLoader(std::shared_ptr<FakeEngine> engine) : engine_(std::move(engine)) {}

  HRESULT CreateCoreWebView2Environment(CreateEnvironmentCompletedHandler completed) override {
    const HRESULT hr = engine_->Check("Loader.CreateCoreWebView2Environment");
    if (Failed(hr)) return hr;
    if (!completed) return kEPointer;
    auto environment = std::make_shared<FakeEnvironment>(engine_);
    engine_->Register(environment);
    const HRESULT result = engine_->environment_result;
    auto deliver = [completed = std::move(completed), environment, result] {
      completed(result, Succeeded(result) ? environment : nullptr);
    };
    if (engine_->environment_on_engine_thread) {
      engine_->RunOnEngineThread(std::move(deliver));
    } else {
      PostToUi(std::move(deliver));
    }
    return kSOk;
  }

  HRESULT GetCoreWebView2BrowserVersionString(std::string* version) override {
    return Out(version, engine_->browser_version,
               engine_->Check("Loader.GetCoreWebView2BrowserVersionString"));
  }

 private:
  std::shared_ptr<FakeEngine> engine_;
};

}  // namespace

void PostToUi(std::function<void()> procedure) { CurrentUiDispatcher().Post(std::move(procedure)); }

// --- event arguments -----------------------------------------------------------

HRESULT FakeNavigationStartingEventArgs::get_Uri(std::string* value) {
  return Out(value, uri, Check("get_Uri"));
}
HRESULT FakeNavigationStartingEventArgs::get_IsUserInitiated(bool* value) {
  return Out(value, user_initiated, Check("get_IsUserInitiated"));
}
HRESULT FakeNavigationStartingEventArgs::get_IsRedirected(bool* value) {
  return Out(value, redirected, Check("get_IsRedirected"));
}
HRESULT FakeNavigationStartingEventArgs::get_RequestHeaders(
    std::shared_ptr<HttpRequestHeaders>* value) {
  return Out<std::shared_ptr<HttpRequestHeaders>>(value, headers, Check("get_RequestHeaders"));
}
HRESULT FakeNavigationStartingEventArgs::get_Cancel(bool* value) {
  return Out(value, cancel, Check("get_Cancel"));
}
HRESULT FakeNavigationStartingEventArgs::put_Cancel(bool value) {
  const HRESULT hr = Check("put_Cancel");
  if (Succeeded(hr)) cancel = value;
  return hr;
}
HRESULT FakeNavigationStartingEventArgs::get_NavigationId(std::uint64_t* value) {
  return Out(value, navigation_id, Check("get_NavigationId"));
}

HRESULT FakeNavigationCompletedEventArgs::get_IsSuccess(bool* value) {
  return Out(value, success, Check("get_IsSuccess"));
}
HRESULT FakeNavigationCompletedEventArgs::get_WebErrorStatus(WebErrorStatus* value) {
  return Out(value, status, Check("get_WebErrorStatus"));
}
HRESULT FakeNavigationCompletedEventArgs::get_NavigationId(std::uint64_t* value) {
  return Out(value, navigation_id, Check("get_NavigationId"));
}

HRESULT FakeContentLoadingEventArgs::get_IsErrorPage(bool* value) {
  return Out(value, error_page, Check("get_IsErrorPage"));
}
HRESULT FakeContentLoadingEventArgs::get_NavigationId(std::uint64_t* value) {
  return Out(value, navigation_id, Check("get_NavigationId"));
}
HRESULT FakeContentLoadingEventArgs::get_DocumentId(std::uint64_t* value) {
  return Out(value, document_id, Check("get_DocumentId"));
}

HRESULT FakeSourceChangedEventArgs::get_IsNewDocument(bool* value) {
  return Out(value, new_document, Check("get_IsNewDocument"));
}

HRESULT FakeNewWindowRequestedEventArgs::get_Uri(std::string* value) {
  return Out(value, uri, Check("get_Uri"));
}
HRESULT FakeNewWindowRequestedEventArgs::put_Handled(bool value) {
  const HRESULT hr = Check("put_Handled");
  if (Succeeded(hr)) handled = value;
  return hr;
}
HRESULT FakeNewWindowRequestedEventArgs::get_Handled(bool* value) {
  return Out(value, handled, Check("get_Handled"));
}
HRESULT FakeNewWindowRequestedEventArgs::get_IsUserInitiated(bool* value) {
  return Out(value, user_initiated, Check("get_IsUserInitiated"));
}

HRESULT FakeDownloadStartingEventArgs::get_Uri(std::string* value) {
  return Out(value, uri, Check("get_Uri"));
}
HRESULT FakeDownloadStartingEventArgs::get_ResultFilePath(std::string* value) {
  return Out(value, result_file_path, Check("get_ResultFilePath"));
}
HRESULT FakeDownloadStartingEventArgs::put_ResultFilePath(const std::string& value) {
  const HRESULT hr = Check("put_ResultFilePath");
  if (Succeeded(hr)) result_file_path = value;
  return hr;
}
HRESULT FakeDownloadStartingEventArgs::get_Cancel(bool* value) {
  return Out(value, cancel, Check("get_Cancel"));
}
HRESULT FakeDownloadStartingEventArgs::put_Cancel(bool value) {
  const HRESULT hr = Check("put_Cancel");
  if (Succeeded(hr)) cancel = value;
  return hr;
}

HRESULT FakeWebResourceRequestedEventArgs::get_Request(std::shared_ptr<WebResourceRequest>* v) {
  return Out(v, request, Check("get_Request"));
}
HRESULT FakeWebResourceRequestedEventArgs::get_Response(std::shared_ptr<WebResourceResponse>* v) {
  return Out(v, response, Check("get_Response"));
}
HRESULT FakeWebResourceRequestedEventArgs::put_Response(std::shared_ptr<WebResourceResponse> v) {
  const HRESULT hr = Check("put_Response");
  if (Succeeded(hr)) response = std::move(v);
  return hr;
}
HRESULT FakeWebResourceRequestedEventArgs::get_ResourceContext(WebResourceContext* value) {
  return Out(value, context, Check("get_ResourceContext"));
}

HRESULT FakeScriptDialogOpeningEventArgs::get_Uri(std::string* value) {
  return Out(value, uri, Check("get_Uri"));
}
HRESULT FakeScriptDialogOpeningEventArgs::get_Kind(ScriptDialogKind* value) {
  return Out(value, kind, Check("get_Kind"));
}
HRESULT FakeScriptDialogOpeningEventArgs::get_Message(std::string* value) {
  return Out(value, message, Check("get_Message"));
}
HRESULT FakeScriptDialogOpeningEventArgs::Accept() {
  const HRESULT hr = Check("Accept");
  if (Succeeded(hr)) accepted = true;
  return hr;
}
HRESULT FakeScriptDialogOpeningEventArgs::get_DefaultText(std::string* value) {
  return Out(value, default_text, Check("get_DefaultText"));
}
HRESULT FakeScriptDialogOpeningEventArgs::get_ResultText(std::string* value) {
  return Out(value, result_text, Check("get_ResultText"));
}
HRESULT FakeScriptDialogOpeningEventArgs::put_ResultText(const std::string& value) {
  const HRESULT hr = Check("put_ResultText");
  if (Succeeded(hr)) result_text = value;
  return hr;
}

HRESULT FakePermissionRequestedEventArgs::get_Uri(std::string* value) {
  return Out(value, uri, Check("get_Uri"));
}
HRESULT FakePermissionRequestedEventArgs::get_PermissionKind(PermissionKind* value) {
  return Out(value, kind, Check("get_PermissionKind"));
}
HRESULT FakePermissionRequestedEventArgs::get_IsUserInitiated(bool* value) {
  return Out(value, user_initiated, Check("get_IsUserInitiated"));
}
HRESULT FakePermissionRequestedEventArgs::get_State(PermissionState* value) {
  return Out(value, state, Check("get_State"));
}
HRESULT FakePermissionRequestedEventArgs::put_State(PermissionState value) {
  const HRESULT hr = Check("put_State");
  if (Succeeded(hr)) state = value;
  return hr;
}

HRESULT FakeProcessFailedEventArgs::get_ProcessFailedKind(ProcessFailedKind* value) {
  return Out(value, kind, Check("get_ProcessFailedKind"));
}

HRESULT FakeWebMessageReceivedEventArgs::get_Source(std::string* value) {
  return Out(value, source, Check("get_Source"));
}
HRESULT FakeWebMessageReceivedEventArgs::get_DocumentId(std::uint64_t* value) {
  return Out(value, document_id, Check("get_DocumentId"));
}
HRESULT FakeWebMessageReceivedEventArgs::get_WebMessageAsJson(std::string* value) {
  return Out(value, json, Check("get_WebMessageAsJson"));
}
HRESULT FakeWebMessageReceivedEventArgs::TryGetWebMessageAsString(std::string* value) {
  const HRESULT hr = Check("TryGetWebMessageAsString");
  if (Failed(hr)) return hr;
  if (value == nullptr) return kEPointer;
  std::string text;
  if (!DecodeJsonString(json, &text)) return kEInvalidArg;
  *value = std::move(text);
  return kSOk;
}

HRESULT FakeMoveFocusRequestedEventArgs::get_Reason(MoveFocusReason* value) {
  return Out(value, reason, Check("get_Reason"));
}
HRESULT FakeMoveFocusRequestedEventArgs::get_Handled(bool* value) {
  return Out(value, handled, Check("get_Handled"));
}
HRESULT FakeMoveFocusRequestedEventArgs::put_Handled(bool value) {
  const HRESULT hr = Check("put_Handled");
  if (Succeeded(hr)) handled = value;
  return hr;
}

HRESULT FakeAcceleratorKeyPressedEventArgs::get_KeyEventKind(KeyEventKind* value) {
  return Out(value, kind, Check("get_KeyEventKind"));
}
HRESULT FakeAcceleratorKeyPressedEventArgs::get_VirtualKey(std::uint32_t* value) {
  return Out(value, virtual_key, Check("get_VirtualKey"));
}
HRESULT FakeAcceleratorKeyPressedEventArgs::get_KeyEventLParam(std::int32_t* value) {
  return Out(value, lparam, Check("get_KeyEventLParam"));
}
HRESULT FakeAcceleratorKeyPressedEventArgs::get_Handled(bool* value) {
  return Out(value, handled, Check("get_Handled"));
}
HRESULT FakeAcceleratorKeyPressedEventArgs::put_Handled(bool value) {
  const HRESULT hr = Check("put_Handled");
  if (Succeeded(hr)) handled = value;
  return hr;
}

HRESULT FakeDevToolsProtocolEventReceivedEventArgs::get_ParameterObjectAsJson(std::string* v) {
  return Out(v, json, Check("get_ParameterObjectAsJson"));
}

// --- settings ------------------------------------------------------------------

HRESULT FakeSettings::Get(const char* name, bool value, bool* out) {
  return Out(out, value, engine_->Check(std::string("Settings.get_") + name));
}

HRESULT FakeSettings::Put(const char* name, bool value, bool* field) {
  const HRESULT hr = engine_->Check(std::string("Settings.put_") + name);
  if (Succeeded(hr)) *field = value;
  return hr;
}

#define TESSEL_FAKE_SETTING(Name, field, initial)                                        \
  HRESULT FakeSettings::get_##Name(bool* enabled) { return Get(#Name, field, enabled); } \
  HRESULT FakeSettings::put_##Name(bool enabled) { return Put(#Name, enabled, &(field)); }
TESSEL_ENGINE_SETTINGS(TESSEL_FAKE_SETTING)
#undef TESSEL_FAKE_SETTING

// --- web view --------------------------------------------------------------------

FakeWebView::FakeWebView(std::shared_ptr<FakeEngine> engine, std::shared_ptr<FakeViewState> state)
    : settings(std::make_shared<FakeSettings>(engine)),
      engine_(std::move(engine)),
      state_(std::move(state)) {}

HRESULT FakeWebView::Begin(const std::string& operation, const std::string& args) const {
  const HRESULT hr = engine_->Check("WebView." + operation, args);
  if (state_->closed) return kEInvalidState;
  return hr;
}

template <typename List, typename Handler>
HRESULT FakeWebView::Add(const char* name, List& list, Handler h, EventRegistrationToken* token) {
  const HRESULT hr = Begin(std::string("add_") + name);
  if (Failed(hr)) return hr;
  return list.Add(std::move(h), token);
}

template <typename List>
HRESULT FakeWebView::Remove(const char* name, List& list, EventRegistrationToken token) {
  const HRESULT hr = Begin(std::string("remove_") + name);
  if (Failed(hr)) return hr;
  return list.Remove(token);
}

void FakeWebView::ClearEvents() {
  WebViewEventLists::Clear();
  download_starting.Clear();
  for (auto& [name, receiver] : devtools_receivers) receiver->received.Clear();
}

void FakeWebView::CloseFromController() { ClearEvents(); }

void FakeWebView::RaiseWebMessage(const std::string& json) {
  auto args = std::make_shared<FakeWebMessageReceivedEventArgs>();
  args->source = source;
  args->json = json;
  args->document_id = document_id;
  web_message_received.Raise(std::shared_ptr<WebMessageReceivedEventArgs>(args));
}

HRESULT FakeWebView::get_Settings(std::shared_ptr<EngineSettings>* value) {
  return Out<std::shared_ptr<EngineSettings>>(value, settings, Begin("get_Settings"));
}
HRESULT FakeWebView::get_Source(std::string* uri) { return Out(uri, source, Begin("get_Source")); }

HRESULT FakeWebView::Navigate(const std::string& uri) {
  const HRESULT hr = Begin("Navigate", "(" + uri + ")");
  if (Failed(hr)) return hr;
  if (!HasScheme(uri)) return kEInvalidArg;
  StartNavigation(uri, false, {}, false);
  return kSOk;
}

HRESULT FakeWebView::NavigateToString(const std::string& html) {
  const HRESULT hr = Begin("NavigateToString");
  if (Failed(hr)) return hr;
  StartNavigation("about:blank", true, html, false);
  return kSOk;
}

HRESULT FakeWebView::Reload() {
  const HRESULT hr = Begin("Reload");
  if (Failed(hr)) return hr;
  if (!history.empty()) StartNavigation(source, false, {}, true);
  return kSOk;
}

HRESULT FakeWebView::Stop() { return Begin("Stop"); }

HRESULT FakeWebView::GoBack() {
  const HRESULT hr = Begin("GoBack");
  if (Failed(hr)) return hr;
  if (history_index > 0 && !history.empty()) {
    --history_index;
    StartNavigation(history[history_index], false, {}, true);
  }
  return kSOk;
}

HRESULT FakeWebView::GoForward() {
  const HRESULT hr = Begin("GoForward");
  if (Failed(hr)) return hr;
  if (history_index + 1 < history.size()) {
    ++history_index;
    StartNavigation(history[history_index], false, {}, true);
  }
  return kSOk;
}

HRESULT FakeWebView::get_CanGoBack(bool* value) {
  return Out(value, !history.empty() && history_index > 0, Begin("get_CanGoBack"));
}
HRESULT FakeWebView::get_CanGoForward(bool* value) {
  return Out(value, history_index + 1 < history.size(), Begin("get_CanGoForward"));
}
HRESULT FakeWebView::get_DocumentTitle(std::string* value) {
  return Out(value, title, Begin("get_DocumentTitle"));
}
HRESULT FakeWebView::get_BrowserProcessId(std::uint32_t* value) {
  return Out(value, engine_->browser_process_id, Begin("get_BrowserProcessId"));
}
HRESULT FakeWebView::get_ContainsFullScreenElement(bool* value) {
  return Out(value, contains_full_screen_element, Begin("get_ContainsFullScreenElement"));
}

HRESULT FakeWebView::AddScriptToExecuteOnDocumentCreated(const std::string& java_script,
                                                         AddScriptCompletedHandler completed) {
  const HRESULT hr = Begin("AddScriptToExecuteOnDocumentCreated");
  if (Failed(hr)) return hr;
  const std::string id = std::to_string(next_script_id_++);
  document_scripts.emplace_back(id, java_script);
  if (completed) PostToUi([completed = std::move(completed), id] { completed(kSOk, id); });
  return kSOk;
}

HRESULT FakeWebView::RemoveScriptToExecuteOnDocumentCreated(const std::string& id) {
  const HRESULT hr = Begin("RemoveScriptToExecuteOnDocumentCreated");
  if (Failed(hr)) return hr;
  std::erase_if(document_scripts, [&](const auto& entry) { return entry.first == id; });
  return kSOk;
}

HRESULT FakeWebView::ExecuteScript(const std::string& java_script,
                                   ExecuteScriptCompletedHandler completed) {
  const HRESULT hr = Begin("ExecuteScript", "(" + java_script + ")");
  if (Failed(hr)) return hr;
  executed_scripts.push_back(java_script);
  auto it = engine_->script_results.find(java_script);
  const std::string result = it == engine_->script_results.end() ? "null" : it->second;
  if (completed) {
    PostToUi([completed = std::move(completed), result, state = state_] {
      if (state->closed) {
        completed(kEAbort, "null");
      } else {
        completed(kSOk, result);
      }
    });
  }
  return kSOk;
}

HRESULT FakeWebView::PostWebMessageAsJson(const std::string& json) {
  const HRESULT hr = Begin("PostWebMessageAsJson");
  if (Failed(hr)) return hr;
  if (!IsJson(json)) return kEInvalidArg;
  posted_json.push_back(json);
  return kSOk;
}

HRESULT FakeWebView::PostWebMessageAsJsonToDocument(std::uint64_t document,
                                                    const std::string& json) {
  const HRESULT hr = Begin("PostWebMessageAsJsonToDocument");
  if (Failed(hr)) return hr;
  if (!IsJson(json)) return kEInvalidArg;
  if (document == 0 || document != document_id) return kSFalse;
  posted_json.push_back(json);
  return kSOk;
}

HRESULT FakeWebView::PostWebMessageAsString(const std::string& text) {
  const HRESULT hr = Begin("PostWebMessageAsString");
  if (Failed(hr)) return hr;
  posted_json.push_back(EncodeJsonString(text));
  return kSOk;
}

HRESULT FakeWebView::CapturePreview(CapturePreviewImageFormat format,
                                    std::shared_ptr<Stream> stream,
                                    CapturePreviewCompletedHandler completed) {
  const HRESULT hr =
      Begin("CapturePreview", std::string("(") + std::to_string(static_cast<int>(format)) + ")");
  if (Failed(hr)) return hr;
  if (!stream) return kEPointer;
  PostToUi([format, stream = std::move(stream), completed = std::move(completed), state = state_] {
    HRESULT result = kEAbort;
    if (!state->closed) {
      if (format == CapturePreviewImageFormat::kJpeg) {
        result = stream->Write(kJpeg, sizeof kJpeg, nullptr);
      } else {
        result = stream->Write(kPng, sizeof kPng, nullptr);
      }
    }
    if (completed) completed(result);
  });
  return kSOk;
}

HRESULT FakeWebView::AddWebResourceRequestedFilter(const std::string& uri,
                                                   WebResourceContext context) {
  const HRESULT hr = Begin("AddWebResourceRequestedFilter",
                           "(" + uri + "," + std::to_string(static_cast<int>(context)) + ")");
  if (Failed(hr)) return hr;
  filters.push_back({uri, context});
  return kSOk;
}

HRESULT FakeWebView::RemoveWebResourceRequestedFilter(const std::string& uri,
                                                      WebResourceContext context) {
  const HRESULT hr = Begin("RemoveWebResourceRequestedFilter");
  if (Failed(hr)) return hr;
  auto it = std::find_if(filters.begin(), filters.end(), [&](const ResourceFilter& f) {
    return f.uri == uri && f.context == context;
  });
  if (it == filters.end()) return kEInvalidArg;
  filters.erase(it);
  return kSOk;
}

HRESULT FakeWebView::GetDevToolsProtocolEventReceiver(
    const std::string& event_name, std::shared_ptr<DevToolsProtocolEventReceiver>* receiver) {
  const HRESULT hr = Begin("GetDevToolsProtocolEventReceiver", "(" + event_name + ")");
  if (Failed(hr)) return hr;
  if (receiver == nullptr) return kEPointer;
  auto& slot = devtools_receivers[event_name];
  if (!slot) slot = std::make_shared<FakeDevToolsProtocolEventReceiver>();
  *receiver = slot;
  return kSOk;
}

HRESULT FakeWebView::OpenDevToolsWindow() { return Begin("OpenDevToolsWindow"); }

void FakeWebView::StartNavigation(std::string uri, bool from_string, std::string html,
                                  bool history_move) {
  const std::uint64_t id = engine_->NextNavigationId();
  PostToUi([self = shared_from_this(), uri = std::move(uri), from_string, html = std::move(html),
            history_move, id] {
    if (!self->state_->closed) self->RunNavigation(uri, from_string, html, history_move, id);
  });
}

std::string FakeWebView::LoadDocument(const std::string& uri, bool* error_page) {
  *error_page = false;
  if (!StartsWithIgnoreAsciiCase(uri, "file:")) return {};
  if (FiltersMatch(filters, uri, WebResourceContext::kDocument) &&
      !web_resource_requested.empty()) {
    auto args = std::make_shared<FakeWebResourceRequestedEventArgs>();
    args->request = std::make_shared<BasicWebResourceRequest>(uri, "GET");
    args->context = WebResourceContext::kDocument;
    web_resource_requested.Raise(std::shared_ptr<WebResourceRequestedEventArgs>(args));
    if (args->response) {
      std::shared_ptr<Stream> content;
      args->response->get_Content(&content);
      std::string body;
      if (content) ReadWholeStream(content.get(), &body);
      return body;
    }
  }
  std::string path = uri.substr(5);
  if (path.rfind("//", 0) == 0) path = path.substr(2);
  path = PercentDecode(path.substr(0, path.find_first_of("?#")));
  std::error_code error;
  const std::filesystem::path native(std::u8string(path.begin(), path.end()));
  if (std::filesystem::is_regular_file(native, error)) {
    std::ifstream file(native, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  return kNotFoundPage;
}

void FakeWebView::RunNavigation(const std::string& uri, bool from_string, const std::string& html,
                                bool history_move, std::uint64_t navigation_id) {
  auto starting = std::make_shared<FakeNavigationStartingEventArgs>();
  starting->uri = uri;
  starting->navigation_id = navigation_id;
  navigation_starting.Raise(std::shared_ptr<NavigationStartingEventArgs>(starting));
  if (state_->closed) return;
  auto completed = std::make_shared<FakeNavigationCompletedEventArgs>();
  completed->navigation_id = navigation_id;
  if (starting->cancel) {
    completed->success = false;
    completed->status = WebErrorStatus::kOperationCanceled;
    navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
    return;
  }
  bool error_page = false;
  const std::string document = from_string ? html : LoadDocument(uri, &error_page);
  if (state_->closed) return;
  source = uri;
  if (!history_move) {
    if (!history.empty()) history.resize(history_index + 1);
    history.push_back(uri);
    history_index = history.size() - 1;
  }
  auto changed = std::make_shared<FakeSourceChangedEventArgs>();
  source_changed.Raise(std::shared_ptr<SourceChangedEventArgs>(changed));
  auto loading = std::make_shared<FakeContentLoadingEventArgs>();
  loading->error_page = error_page;
  loading->navigation_id = navigation_id;
  loading->document_id = ++document_id;
  content_loading.Raise(std::shared_ptr<ContentLoadingEventArgs>(loading));
  history_changed.Raise();
  const std::string new_title = ExtractTitle(document);
  if (new_title != title) {
    title = new_title;
    document_title_changed.Raise();
  }
  if (state_->closed) return;
  navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
}

#define TESSEL_FAKE_EVENT(Name, field, Handler)                               \
  HRESULT FakeWebView::add_##Name(Handler h, EventRegistrationToken* token) { \
    return Add(#Name, field, std::move(h), token);                            \
  }                                                                           \
  HRESULT FakeWebView::remove_##Name(EventRegistrationToken token) {          \
    return Remove(#Name, field, token);                                       \
  }
TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_FAKE_EVENT)
TESSEL_FAKE_EVENT(DownloadStarting, download_starting, DownloadStartingEventHandler)
#undef TESSEL_FAKE_EVENT

// --- controller ------------------------------------------------------------------

FakeController::FakeController(std::shared_ptr<FakeEngine> engine, NativeWindowHandle parent)
    : parent_window(parent), engine_(std::move(engine)), state_(std::make_shared<FakeViewState>()) {
  web_view = std::make_shared<FakeWebView>(engine_, state_);
}

HRESULT FakeController::Begin(const std::string& operation, const std::string& args) const {
  const HRESULT hr = engine_->Check("Controller." + operation, args);
  if (state_->closed) return kEInvalidState;
  return hr;
}

template <typename List, typename Handler>
HRESULT FakeController::Add(const char* name, List& list, Handler h,
                            EventRegistrationToken* token) {
  const HRESULT hr = Begin(std::string("add_") + name);
  if (Failed(hr)) return hr;
  return list.Add(std::move(h), token);
}

template <typename List>
HRESULT FakeController::Remove(const char* name, List& list, EventRegistrationToken token) {
  const HRESULT hr = Begin(std::string("remove_") + name);
  if (Failed(hr)) return hr;
  return list.Remove(token);
}

void FakeController::LoseFocus() {
  if (!focused) return;
  focused = false;
  lost_focus.Raise();
}

HRESULT FakeController::get_CoreWebView2(std::shared_ptr<EngineWebView>* value) {
  return Out<std::shared_ptr<EngineWebView>>(value, web_view, Begin("get_CoreWebView2"));
}
HRESULT FakeController::get_IsVisible(bool* value) {
  return Out(value, visible, Begin("get_IsVisible"));
}
HRESULT FakeController::put_IsVisible(bool value) {
  const HRESULT hr = Begin("put_IsVisible", value ? "(1)" : "(0)");
  if (Succeeded(hr)) visible = value;
  return hr;
}
HRESULT FakeController::get_Bounds(Rect* value) { return Out(value, bounds, Begin("get_Bounds")); }
HRESULT FakeController::put_Bounds(Rect value) {
  std::ostringstream args;
  args << '(' << value.left << ',' << value.top << ',' << value.right << ',' << value.bottom << ')';
  const HRESULT hr = Begin("put_Bounds", args.str());
  if (Succeeded(hr)) bounds = value;
  return hr;
}
HRESULT FakeController::get_ZoomFactor(double* value) {
  return Out(value, zoom_factor, Begin("get_ZoomFactor"));
}
HRESULT FakeController::put_ZoomFactor(double value) {
  const HRESULT hr = Begin("put_ZoomFactor");
  if (Failed(hr)) return hr;
  if (!(value > 0.0)) return kEInvalidArg;
  if (value != zoom_factor) {
    zoom_factor = value;
    zoom_factor_changed.Raise();
  }
  return kSOk;
}
HRESULT FakeController::MoveFocus(MoveFocusReason reason) {
  const HRESULT hr =
      Begin("MoveFocus", std::string("(") + std::to_string(static_cast<int>(reason)) + ")");
  if (Failed(hr)) return hr;
  if (!focused) {
    focused = true;
    got_focus.Raise();
  }
  return kSOk;
}
HRESULT FakeController::Close() {
  engine_->Check("Controller.Close");
  if (state_->closed) return kSOk;
  state_->closed = true;
  ControllerEventLists::Clear();
  web_view->CloseFromController();
  return kSOk;
}

#define TESSEL_FAKE_CONTROLLER_EVENT(Name, field, Handler)                       \
  HRESULT FakeController::add_##Name(Handler h, EventRegistrationToken* token) { \
    return Add(#Name, field, std::move(h), token);                               \
  }                                                                              \
  HRESULT FakeController::remove_##Name(EventRegistrationToken token) {          \
    return Remove(#Name, field, token);                                          \
  }
TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_FAKE_CONTROLLER_EVENT)
#undef TESSEL_FAKE_CONTROLLER_EVENT

// --- environment ---------------------------------------------------------------

HRESULT FakeEnvironment::CreateCoreWebView2Controller(NativeWindowHandle parent_window,
                                                      CreateControllerCompletedHandler completed) {
  const HRESULT hr = engine_->Check("Environment.CreateCoreWebView2Controller");
  if (Failed(hr)) return hr;
  if (!completed) return kEPointer;
  if (parent_window == nullptr) return kEInvalidArg;
  auto controller = std::make_shared<FakeController>(engine_, parent_window);
  engine_->Register(controller);
  const HRESULT result = engine_->controller_result;
  PostToUi([completed = std::move(completed), controller, result] {
    completed(result, Succeeded(result) ? controller : nullptr);
  });
  return kSOk;
}

HRESULT FakeEnvironment::CreateWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                                   const std::string& reason_phrase,
                                                   const std::string& headers,
                                                   std::shared_ptr<WebResourceResponse>* response) {
  const HRESULT hr = engine_->Check("Environment.CreateWebResourceResponse");
  if (Failed(hr)) return hr;
  return MakeWebResourceResponse(std::move(content), status_code, reason_phrase, headers, response);
}

HRESULT FakeEnvironment::get_BrowserVersionString(std::string* version) {
  return Out(version, engine_->browser_version,
             engine_->Check("Environment.get_BrowserVersionString"));
}

// --- engine --------------------------------------------------------------------

FakeEngine::~FakeEngine() {
  for (auto& thread : threads_) {
    // The last reference may have been dropped on that very thread.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

void FakeEngine::FailOperation(const std::string& name, HRESULT hr) {
  std::lock_guard lock(mutex_);
  if (hr == kSOk) {
    failures_.erase(name);
  } else {
    failures_[name] = hr;
  }
}

HRESULT FakeEngine::Check(const std::string& name, const std::string& args) {
  std::lock_guard lock(mutex_);
  calls_.push_back(name + args);
  auto it = failures_.find(name);
  return it == failures_.end() ? kSOk : it->second;
}

void FakeEngine::Log(const std::string& call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(call);
}

std::vector<std::string> FakeEngine::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeEngine::CallsStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> result;
  for (const auto& call : calls_) {
    if (call.rfind(prefix, 0) == 0) result.push_back(call);
  }
  return result;
}

void FakeEngine::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

int FakeEngine::library_opens() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(opened_paths_.size());
}

std::vector<std::string> FakeEngine::opened_paths() const {
  std::lock_guard lock(mutex_);
  return opened_paths_;
}

std::shared_ptr<FakeEnvironment> FakeEngine::LastEnvironment() const {
  std::lock_guard lock(mutex_);
  return environments_.empty() ? nullptr : environments_.back().lock();
}

std::shared_ptr<FakeController> FakeEngine::LastController() const {
  std::lock_guard lock(mutex_);
  return controllers_.empty() ? nullptr : controllers_.back().lock();
}

std::shared_ptr<FakeWebView> FakeEngine::LastWebView() const {
  auto controller = LastController();
  return controller ? controller->web_view : nullptr;
}

std::size_t FakeEngine::ControllerCount() const {
  std::lock_guard lock(mutex_);
  return controllers_.size();
}

void FakeEngine::Register(const std::shared_ptr<FakeEnvironment>& environment) {
  std::lock_guard lock(mutex_);
  environments_.push_back(environment);
}

void FakeEngine::Register(const std::shared_ptr<FakeController>& controller) {
  std::lock_guard lock(mutex_);
  controllers_.push_back(controller);
}

void FakeEngine::RunOnEngineThread(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  threads_.emplace_back(std::move(work));
}

HRESULT FakeEngine::OpenLibrary(const std::string& path, std::shared_ptr<EngineLoader>* loader) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("Library.Open(" + path + ")");
    opened_paths_.push_back(path);
  }
  if (loader_missing || path.empty()) return kEFail;
  if (loader == nullptr) return kEPointer;
  *loader = std::make_shared<FakeLoader>(shared_from_this());
  return kSOk;
}

EngineLibraryOpener FakeEngine::Opener() {
  std::weak_ptr<FakeEngine> weak = shared_from_this();
  return [weak](const std::string& path, std::shared_ptr<EngineLoader>* loader) -> HRESULT {
    auto engine = weak.lock();
    return engine ? engine->OpenLibrary(path, loader) : kEFail;
  };
}

std::shared_ptr<FakeEngine> MakeFakeEngine() { return std::make_shared<FakeEngine>(); }

}  // namespace tessel::platform
