// A stand-in for the engine's loader library (WebView2LoaderWin64.dll) and the
// engine behind it, for the runs under Wine, where no engine can be installed.
// The exports are the real loader's (undecorated, stdcall); behind them are
// real COM objects that keep the rules the real engine keeps, strictly, so
// that a fault of the runtime shows here:
// - events and completions come later, from the UI thread's message loop;
// - a call from another thread fails with RPC_E_WRONG_THREAD (every method,
//   getters of event arguments included), creation without a
//   single-threaded apartment with CO_E_NOTINITIALIZED, a view's methods
//   after the runtime's Close with ERROR_INVALID_STATE; each such refusal is
//   an error line;
// - every object and every handed-out string (the loader's version string
//   too) is counted, and at process exit the report says what was never
//   released or freed. Error lines and the report also go to the verdict
//   log, whatever the environment says (standin_support.h).
// Its "pages" are a model: a navigation asks the runtime's resource filter for
// the document, then for every script, style sheet and image the served HTML
// names, reads the title, and then plays the scenario the test wrote (the
// file named by TESSEL_STANDIN_SCENARIO). Everything the runtime sends back
// goes to the log (TESSEL_STANDIN_LOG). TESSEL_STANDIN_NO_ENGINE hides the
// engine. Test code only: never packed into an app or installed.
#include <windows.h>
// windows.h first: the COM headers rely on its types.
#include <objbase.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine_basics.h"
#include "platform/win32/wide_text.h"
#include "standin_downloads.h"
#include "standin_support.h"

namespace tessel::standin {
namespace {

namespace wv = webview2;
using platform::Utf8FromWide;
using platform::WideFromUtf8;

constexpr wchar_t kVersion[] = L"100.0.0.0";
const ::HRESULT kInvalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
constexpr ::HRESULT kBounds = static_cast<::HRESULT>(0x8000000BL);     // E_BOUNDS
constexpr ::HRESULT kLateWrite = static_cast<::HRESULT>(0x8000000EL);  // E_ILLEGAL_METHOD_CALL

// Set at all, even empty: the size asked for then counts the terminating NUL.
bool EngineHidden() {
  return GetEnvironmentVariableW(L"TESSEL_STANDIN_NO_ENGINE", nullptr, 0) != 0;
}

std::wstring Wide(const wchar_t* text) { return text == nullptr ? std::wstring() : text; }

// --- headers -----------------------------------------------------------------

using Header = std::pair<std::wstring, std::wstring>;

bool SameName(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

class Iterator final : public Object<wv::ICoreWebView2HttpHeadersCollectionIterator> {
 public:
  explicit Iterator(std::vector<Header> headers)
      : Object("HeadersIterator"), headers_(std::move(headers)) {}
  ::HRESULT STDMETHODCALLTYPE GetCurrentHeader(LPWSTR* name, LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    if (name == nullptr || value == nullptr) return E_POINTER;
    if (at_ >= headers_.size()) return kBounds;
    OutString(headers_[at_].first, name);
    return OutString(headers_[at_].second, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_HasCurrentHeader(BOOL* has) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(at_ < headers_.size(), has);
  }
  ::HRESULT STDMETHODCALLTYPE MoveNext(BOOL* has) override {
    STANDIN_ON_OWNER_THREAD();
    if (at_ < headers_.size()) ++at_;
    return OutValue<BOOL>(at_ < headers_.size(), has);
  }

 private:
  std::vector<Header> headers_;
  std::size_t at_ = 0;
};

std::vector<Header> Named(const std::vector<Header>& all, const std::wstring& name) {
  std::vector<Header> out;
  for (const auto& header : all) {
    if (SameName(header.first, name)) out.push_back(header);
  }
  return out;
}

class RequestHeaders final : public Object<wv::ICoreWebView2HttpRequestHeaders> {
 public:
  explicit RequestHeaders(std::vector<Header> headers)
      : Object("HttpRequestHeaders"), headers_(std::move(headers)) {}
  ::HRESULT STDMETHODCALLTYPE GetHeader(LPCWSTR name, LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    const auto found = Named(headers_, Wide(name));
    if (found.empty()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    return OutString(found.front().second, value);
  }
  ::HRESULT STDMETHODCALLTYPE
  GetHeaders(LPCWSTR name, wv::ICoreWebView2HttpHeadersCollectionIterator** iterator) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(Ref<wv::ICoreWebView2HttpHeadersCollectionIterator>::Adopt(
                      new Iterator(Named(headers_, Wide(name)))),
                  iterator);
  }
  ::HRESULT STDMETHODCALLTYPE Contains(LPCWSTR name, BOOL* contains) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(!Named(headers_, Wide(name)).empty(), contains);
  }
  ::HRESULT STDMETHODCALLTYPE SetHeader(LPCWSTR name, LPCWSTR value) override {
    STANDIN_ON_OWNER_THREAD();
    RemoveHeader(name);
    headers_.emplace_back(Wide(name), Wide(value));
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE RemoveHeader(LPCWSTR name) override {
    STANDIN_ON_OWNER_THREAD();
    std::erase_if(headers_, [&](const Header& h) { return SameName(h.first, Wide(name)); });
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE
  GetIterator(wv::ICoreWebView2HttpHeadersCollectionIterator** iterator) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(
        Ref<wv::ICoreWebView2HttpHeadersCollectionIterator>::Adopt(new Iterator(headers_)),
        iterator);
  }

 private:
  std::vector<Header> headers_;
};

class ResponseHeaders final : public Object<wv::ICoreWebView2HttpResponseHeaders> {
 public:
  explicit ResponseHeaders(std::vector<Header> headers)
      : Object("HttpResponseHeaders"), headers_(std::move(headers)) {}
  const std::vector<Header>& headers() const { return headers_; }
  ::HRESULT STDMETHODCALLTYPE AppendHeader(LPCWSTR name, LPCWSTR value) override {
    STANDIN_ON_OWNER_THREAD();
    headers_.emplace_back(Wide(name), Wide(value));
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE Contains(LPCWSTR name, BOOL* contains) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(!Named(headers_, Wide(name)).empty(), contains);
  }
  ::HRESULT STDMETHODCALLTYPE GetHeader(LPCWSTR name, LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    const auto found = Named(headers_, Wide(name));
    if (found.empty()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    return OutString(found.front().second, value);
  }
  ::HRESULT STDMETHODCALLTYPE
  GetHeaders(LPCWSTR name, wv::ICoreWebView2HttpHeadersCollectionIterator** iterator) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(Ref<wv::ICoreWebView2HttpHeadersCollectionIterator>::Adopt(
                      new Iterator(Named(headers_, Wide(name)))),
                  iterator);
  }
  ::HRESULT STDMETHODCALLTYPE
  GetIterator(wv::ICoreWebView2HttpHeadersCollectionIterator** iterator) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(
        Ref<wv::ICoreWebView2HttpHeadersCollectionIterator>::Adopt(new Iterator(headers_)),
        iterator);
  }

 private:
  std::vector<Header> headers_;
};

// --- requests and responses ----------------------------------------------------

class Request final : public Object<wv::ICoreWebView2WebResourceRequest> {
 public:
  Request(std::wstring uri, std::vector<Header> extra)
      : Object("WebResourceRequest"), uri_(std::move(uri)) {
    extra.insert(extra.begin(), {L"Accept", L"*/*"});
    headers_ = Ref<RequestHeaders>::Adopt(new RequestHeaders(std::move(extra)));
  }
  ::HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(uri_, uri);
  }
  ::HRESULT STDMETHODCALLTYPE put_Uri(LPCWSTR uri) override {
    STANDIN_ON_OWNER_THREAD();
    uri_ = Wide(uri);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Method(LPWSTR* method) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(method_, method);
  }
  ::HRESULT STDMETHODCALLTYPE put_Method(LPCWSTR method) override {
    STANDIN_ON_OWNER_THREAD();
    method_ = Wide(method);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Content(IStream** content) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(content_, content);
  }
  ::HRESULT STDMETHODCALLTYPE put_Content(IStream* content) override {
    STANDIN_ON_OWNER_THREAD();
    content_ = Ref<IStream>::Borrow(content);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Headers(wv::ICoreWebView2HttpRequestHeaders** headers) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(Ref<wv::ICoreWebView2HttpRequestHeaders>::Borrow(headers_.Get()), headers);
  }

 private:
  std::wstring uri_;
  std::wstring method_ = L"GET";
  Ref<IStream> content_;
  Ref<RequestHeaders> headers_;
};

class Response final : public Object<wv::ICoreWebView2WebResourceResponse> {
 public:
  Response(Ref<IStream> content, int status, std::wstring reason, std::vector<Header> headers)
      : Object("WebResourceResponse"),
        content_(std::move(content)),
        status_(status),
        reason_(std::move(reason)),
        headers_(Ref<ResponseHeaders>::Adopt(new ResponseHeaders(std::move(headers)))) {}
  ::HRESULT STDMETHODCALLTYPE get_Content(IStream** content) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(content_, content);
  }
  ::HRESULT STDMETHODCALLTYPE put_Content(IStream* content) override {
    STANDIN_ON_OWNER_THREAD();
    content_ = Ref<IStream>::Borrow(content);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Headers(wv::ICoreWebView2HttpResponseHeaders** headers) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(Ref<wv::ICoreWebView2HttpResponseHeaders>::Borrow(headers_.Get()), headers);
  }
  ::HRESULT STDMETHODCALLTYPE get_StatusCode(int* status) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(status_, status);
  }
  ::HRESULT STDMETHODCALLTYPE put_StatusCode(int status) override {
    STANDIN_ON_OWNER_THREAD();
    status_ = status;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_ReasonPhrase(LPWSTR* reason) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(reason_, reason);
  }
  ::HRESULT STDMETHODCALLTYPE put_ReasonPhrase(LPCWSTR reason) override {
    STANDIN_ON_OWNER_THREAD();
    reason_ = Wide(reason);
    return S_OK;
  }

 private:
  Ref<IStream> content_;
  int status_;
  std::wstring reason_;
  Ref<ResponseHeaders> headers_;
};

// What a served resource came to, read through the interfaces as the engine
// would (any implementation of the response may have been put).
struct Served {
  bool answered = false;
  int status = 0;
  std::wstring reason;
  std::vector<Header> headers;
  std::string body;
};

Served ReadResponse(wv::ICoreWebView2WebResourceResponse* response) {
  Served served;
  served.answered = true;
  response->get_StatusCode(&served.status);
  LPWSTR reason = nullptr;
  if (SUCCEEDED(response->get_ReasonPhrase(&reason))) served.reason = Wide(reason);
  CoTaskMemFree(reason);
  Ref<wv::ICoreWebView2HttpResponseHeaders> headers;
  Ref<wv::ICoreWebView2HttpHeadersCollectionIterator> iterator;
  if (SUCCEEDED(response->get_Headers(headers.Put())) && headers &&
      SUCCEEDED(headers->GetIterator(iterator.Put())) && iterator) {
    BOOL has = FALSE;
    iterator->get_HasCurrentHeader(&has);
    while (has) {
      LPWSTR name = nullptr;
      LPWSTR value = nullptr;
      if (FAILED(iterator->GetCurrentHeader(&name, &value))) break;
      served.headers.emplace_back(Wide(name), Wide(value));
      CoTaskMemFree(name);
      CoTaskMemFree(value);
      iterator->MoveNext(&has);
    }
  }
  Ref<IStream> content;
  if (SUCCEEDED(response->get_Content(content.Put())) && content) {
    LARGE_INTEGER start{};
    content->Seek(start, STREAM_SEEK_SET, nullptr);
    char buffer[16384];
    for (;;) {
      ULONG read = 0;
      const ::HRESULT hr = content->Read(buffer, sizeof buffer, &read);
      served.body.append(buffer, read);
      if (FAILED(hr) || read == 0) break;
    }
  }
  return served;
}

// --- deferrals and event arguments ---------------------------------------------------

class Deferral final : public Object<wv::ICoreWebView2Deferral> {
 public:
  explicit Deferral(std::function<void()> resume)
      : Object("Deferral"), resume_(std::move(resume)) {}
  ::HRESULT STDMETHODCALLTYPE Complete() override {
    STANDIN_ON_OWNER_THREAD();
    if (!resume_) return kInvalidState;
    Post(std::exchange(resume_, nullptr));
    return S_OK;
  }

 private:
  std::function<void()> resume_;
};

// Arguments that may be deferred: the event's consequences wait for Complete.
// Writes to the arguments count while the handlers run or a deferral is
// open; a later write is a fault of the runtime, refused and logged.
struct Deferrable {
  int taken = 0;
  bool sealed = false;
  std::function<void()> resume;
  bool Writable(const char* what) const {
    if (!sealed || taken > 0) return true;
    Fault(std::string(what) + " written after its event (E_ILLEGAL_METHOD_CALL)");
    return false;
  }
  ::HRESULT Take(wv::ICoreWebView2Deferral** deferral) {
    if (deferral == nullptr) return E_POINTER;
    ++taken;
    *deferral = new Deferral([this] {
      if (--taken == 0 && resume) {
        sealed = true;
        std::exchange(resume, nullptr)();
      }
    });
    return S_OK;
  }
};

class NavigationStartingArgs final : public Object<wv::ICoreWebView2NavigationStartingEventArgs> {
 public:
  NavigationStartingArgs(std::wstring uri, UINT64 id)
      : Object("NavigationStartingEventArgs"), uri_(std::move(uri)), id_(id) {}
  bool cancel() const { return cancel_ != FALSE; }
  ::HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(uri_, uri);
  }
  ::HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(FALSE, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(FALSE, value);
  }
  ::HRESULT STDMETHODCALLTYPE
  get_RequestHeaders(wv::ICoreWebView2HttpRequestHeaders** headers) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(
        Ref<wv::ICoreWebView2HttpRequestHeaders>::Adopt(new RequestHeaders(std::vector<Header>{})),
        headers);
  }
  ::HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(cancel_, cancel);
  }
  ::HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {
    STANDIN_ON_OWNER_THREAD();
    cancel_ = cancel;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(id_, id);
  }

 private:
  std::wstring uri_;
  UINT64 id_;
  BOOL cancel_ = FALSE;
};

class NavigationCompletedArgs final : public Object<wv::ICoreWebView2NavigationCompletedEventArgs> {
 public:
  NavigationCompletedArgs(bool success, wv::COREWEBVIEW2_WEB_ERROR_STATUS status, UINT64 id)
      : Object("NavigationCompletedEventArgs"), success_(success), status_(status), id_(id) {}
  ::HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* success) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(success_, success);
  }
  ::HRESULT STDMETHODCALLTYPE
  get_WebErrorStatus(wv::COREWEBVIEW2_WEB_ERROR_STATUS* status) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(status_, status);
  }
  ::HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(id_, id);
  }

 private:
  bool success_;
  wv::COREWEBVIEW2_WEB_ERROR_STATUS status_;
  UINT64 id_;
};

class ContentLoadingArgs final : public Object<wv::ICoreWebView2ContentLoadingEventArgs> {
 public:
  ContentLoadingArgs(bool error_page, UINT64 id)
      : Object("ContentLoadingEventArgs"), error_page_(error_page), id_(id) {}
  ::HRESULT STDMETHODCALLTYPE get_IsErrorPage(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(error_page_, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(id_, id);
  }

 private:
  bool error_page_;
  UINT64 id_;
};

class SourceChangedArgs final : public Object<wv::ICoreWebView2SourceChangedEventArgs> {
 public:
  SourceChangedArgs() : Object("SourceChangedEventArgs") {}
  ::HRESULT STDMETHODCALLTYPE get_IsNewDocument(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, value);
  }
};

class ResourceArgs final : public Object<wv::ICoreWebView2WebResourceRequestedEventArgs> {
 public:
  ResourceArgs(std::wstring uri, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT context,
               std::vector<Header> headers)
      : Object("WebResourceRequestedEventArgs"),
        request_(Ref<Request>::Adopt(new Request(std::move(uri), std::move(headers)))),
        context_(context) {}
  Deferrable deferrable;
  wv::ICoreWebView2WebResourceResponse* response() const { return response_.Get(); }

  ::HRESULT STDMETHODCALLTYPE get_Request(wv::ICoreWebView2WebResourceRequest** request) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(Ref<wv::ICoreWebView2WebResourceRequest>::Borrow(request_.Get()), request);
  }
  ::HRESULT STDMETHODCALLTYPE
  get_Response(wv::ICoreWebView2WebResourceResponse** response) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(response_, response);
  }
  ::HRESULT STDMETHODCALLTYPE
  put_Response(wv::ICoreWebView2WebResourceResponse* response) override {
    STANDIN_ON_OWNER_THREAD();
    response_ = Ref<wv::ICoreWebView2WebResourceResponse>::Borrow(response);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE GetDeferral(wv::ICoreWebView2Deferral** deferral) override {
    STANDIN_ON_OWNER_THREAD();
    return deferrable.Take(deferral);
  }
  ::HRESULT STDMETHODCALLTYPE
  get_ResourceContext(wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT* context) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(context_, context);
  }

 private:
  Ref<Request> request_;
  Ref<wv::ICoreWebView2WebResourceResponse> response_;
  wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT context_;
};

class MessageArgs final : public Object<wv::ICoreWebView2WebMessageReceivedEventArgs> {
 public:
  MessageArgs(std::wstring source, std::wstring json)
      : Object("WebMessageReceivedEventArgs"), source_(std::move(source)), json_(std::move(json)) {}
  ::HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(source_, source);
  }
  ::HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(json_, json);
  }
  ::HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* text) override {
    STANDIN_ON_OWNER_THREAD();
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    std::string decoded;
    if (!platform::DecodeJsonString(Utf8FromWide(json_), &decoded)) return E_INVALIDARG;
    return OutString(WideFromUtf8(decoded), text);
  }

 private:
  std::wstring source_;
  std::wstring json_;
};

class WindowFeatures final : public Object<wv::ICoreWebView2WindowFeatures> {
 public:
  WindowFeatures() : Object("WindowFeatures") {}
  ::HRESULT STDMETHODCALLTYPE get_HasPosition(BOOL* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(FALSE, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_HasSize(BOOL* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(FALSE, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_Left(UINT32* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<UINT32>(0, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_Top(UINT32* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<UINT32>(0, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_Height(UINT32* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<UINT32>(0, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_Width(UINT32* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<UINT32>(0, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_ShouldDisplayMenuBar(BOOL* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_ShouldDisplayStatus(BOOL* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_ShouldDisplayToolbar(BOOL* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, v);
  }
  ::HRESULT STDMETHODCALLTYPE get_ShouldDisplayScrollBars(BOOL* v) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, v);
  }
};

class NewWindowArgs final : public Object<wv::ICoreWebView2NewWindowRequestedEventArgs> {
 public:
  explicit NewWindowArgs(std::wstring uri)
      : Object("NewWindowRequestedEventArgs"), uri_(std::move(uri)) {}
  Deferrable deferrable;
  bool handled() const { return handled_ != FALSE; }
  ::HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(uri_, uri);
  }
  ::HRESULT STDMETHODCALLTYPE put_NewWindow(wv::ICoreWebView2* /*window*/) override {
    STANDIN_ON_OWNER_THREAD();
    return E_NOTIMPL;
  }
  ::HRESULT STDMETHODCALLTYPE get_NewWindow(wv::ICoreWebView2** window) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<wv::ICoreWebView2*>(nullptr, window);
  }
  ::HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
    STANDIN_ON_OWNER_THREAD();
    if (!deferrable.Writable("a new window's Handled")) return kLateWrite;
    handled_ = handled;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(handled_, handled);
  }
  ::HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, value);
  }
  ::HRESULT STDMETHODCALLTYPE GetDeferral(wv::ICoreWebView2Deferral** deferral) override {
    STANDIN_ON_OWNER_THREAD();
    return deferrable.Take(deferral);
  }
  ::HRESULT STDMETHODCALLTYPE get_WindowFeatures(wv::ICoreWebView2WindowFeatures** value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutRef(Ref<wv::ICoreWebView2WindowFeatures>::Adopt(new WindowFeatures), value);
  }

 private:
  std::wstring uri_;
  BOOL handled_ = FALSE;
};

class PermissionArgs final : public Object<wv::ICoreWebView2PermissionRequestedEventArgs> {
 public:
  PermissionArgs(std::wstring uri, wv::COREWEBVIEW2_PERMISSION_KIND kind)
      : Object("PermissionRequestedEventArgs"), uri_(std::move(uri)), kind_(kind) {}
  Deferrable deferrable;
  wv::COREWEBVIEW2_PERMISSION_STATE state() const { return state_; }
  ::HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(uri_, uri);
  }
  ::HRESULT STDMETHODCALLTYPE get_PermissionKind(wv::COREWEBVIEW2_PERMISSION_KIND* kind) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(kind_, kind);
  }
  ::HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(TRUE, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_State(wv::COREWEBVIEW2_PERMISSION_STATE* state) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(state_, state);
  }
  ::HRESULT STDMETHODCALLTYPE put_State(wv::COREWEBVIEW2_PERMISSION_STATE state) override {
    STANDIN_ON_OWNER_THREAD();
    if (!deferrable.Writable("a permission's state")) return kLateWrite;
    state_ = state;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE GetDeferral(wv::ICoreWebView2Deferral** deferral) override {
    STANDIN_ON_OWNER_THREAD();
    return deferrable.Take(deferral);
  }

 private:
  std::wstring uri_;
  wv::COREWEBVIEW2_PERMISSION_KIND kind_;
  wv::COREWEBVIEW2_PERMISSION_STATE state_ = wv::COREWEBVIEW2_PERMISSION_STATE_DEFAULT;
};

class ScriptDialogArgs final : public Object<wv::ICoreWebView2ScriptDialogOpeningEventArgs> {
 public:
  ScriptDialogArgs(std::wstring uri, wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind, std::wstring message,
                   std::wstring default_text)
      : Object("ScriptDialogOpeningEventArgs"),
        uri_(std::move(uri)),
        kind_(kind),
        message_(std::move(message)),
        default_text_(std::move(default_text)) {}
  Deferrable deferrable;
  bool accepted() const { return accepted_; }
  const std::wstring& result_text() const { return result_text_; }
  ::HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(uri_, uri);
  }
  ::HRESULT STDMETHODCALLTYPE get_Kind(wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND* kind) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(kind_, kind);
  }
  ::HRESULT STDMETHODCALLTYPE get_Message(LPWSTR* message) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(message_, message);
  }
  ::HRESULT STDMETHODCALLTYPE Accept() override {
    STANDIN_ON_OWNER_THREAD();
    if (!deferrable.Writable("a script dialog's Accept")) return kLateWrite;
    accepted_ = true;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_DefaultText(LPWSTR* text) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(default_text_, text);
  }
  ::HRESULT STDMETHODCALLTYPE get_ResultText(LPWSTR* text) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(result_text_, text);
  }
  ::HRESULT STDMETHODCALLTYPE put_ResultText(LPCWSTR text) override {
    STANDIN_ON_OWNER_THREAD();
    if (text == nullptr) return E_POINTER;
    if (!deferrable.Writable("a script dialog's ResultText")) return kLateWrite;
    result_text_ = text;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE GetDeferral(wv::ICoreWebView2Deferral** deferral) override {
    STANDIN_ON_OWNER_THREAD();
    return deferrable.Take(deferral);
  }

 private:
  std::wstring uri_;
  wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind_;
  std::wstring message_;
  std::wstring default_text_;
  std::wstring result_text_;
  bool accepted_ = false;
};

class ProcessFailedArgs final : public Object<wv::ICoreWebView2ProcessFailedEventArgs> {
 public:
  explicit ProcessFailedArgs(wv::COREWEBVIEW2_PROCESS_FAILED_KIND kind)
      : Object("ProcessFailedEventArgs"), kind_(kind) {}
  ::HRESULT STDMETHODCALLTYPE
  get_ProcessFailedKind(wv::COREWEBVIEW2_PROCESS_FAILED_KIND* kind) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(kind_, kind);
  }

 private:
  wv::COREWEBVIEW2_PROCESS_FAILED_KIND kind_;
};

// The controller's key and focus arguments take no deferral: Handled counts
// only while the handlers run.
class KeyArgs final : public Object<wv::ICoreWebView2AcceleratorKeyPressedEventArgs> {
 public:
  KeyArgs(wv::COREWEBVIEW2_KEY_EVENT_KIND kind, UINT key, INT lparam)
      : Object("AcceleratorKeyPressedEventArgs"), kind_(kind), key_(key), lparam_(lparam) {}
  Deferrable deferrable;
  bool handled() const { return handled_ != FALSE; }
  ::HRESULT STDMETHODCALLTYPE get_KeyEventKind(wv::COREWEBVIEW2_KEY_EVENT_KIND* kind) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(kind_, kind);
  }
  ::HRESULT STDMETHODCALLTYPE get_VirtualKey(UINT* key) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(key_, key);
  }
  ::HRESULT STDMETHODCALLTYPE get_KeyEventLParam(INT* lparam) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(lparam_, lparam);
  }
  // The lParam's fields, as the engine splits them.
  ::HRESULT STDMETHODCALLTYPE
  get_PhysicalKeyStatus(wv::COREWEBVIEW2_PHYSICAL_KEY_STATUS* status) override {
    STANDIN_ON_OWNER_THREAD();
    if (status == nullptr) return E_POINTER;
    const auto bits = static_cast<UINT32>(lparam_);
    status->RepeatCount = bits & 0xFFFFu;
    status->ScanCode = (bits >> 16) & 0xFFu;
    status->IsExtendedKey = (bits >> 24) & 1u;
    status->IsMenuKeyDown = (bits >> 29) & 1u;
    status->WasKeyDown = (bits >> 30) & 1u;
    status->IsKeyReleased = (bits >> 31) & 1u;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(handled_, handled);
  }
  ::HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
    STANDIN_ON_OWNER_THREAD();
    if (!deferrable.Writable("a key's Handled")) return kLateWrite;
    handled_ = handled;
    return S_OK;
  }

 private:
  wv::COREWEBVIEW2_KEY_EVENT_KIND kind_;
  UINT key_;
  INT lparam_;
  BOOL handled_ = FALSE;
};

class MoveFocusArgs final : public Object<wv::ICoreWebView2MoveFocusRequestedEventArgs> {
 public:
  explicit MoveFocusArgs(wv::COREWEBVIEW2_MOVE_FOCUS_REASON reason)
      : Object("MoveFocusRequestedEventArgs"), reason_(reason) {}
  Deferrable deferrable;
  bool handled() const { return handled_ != FALSE; }
  ::HRESULT STDMETHODCALLTYPE get_Reason(wv::COREWEBVIEW2_MOVE_FOCUS_REASON* reason) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(reason_, reason);
  }
  ::HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(handled_, handled);
  }
  ::HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
    STANDIN_ON_OWNER_THREAD();
    if (!deferrable.Writable("a focus move's Handled")) return kLateWrite;
    handled_ = handled;
    return S_OK;
  }

 private:
  wv::COREWEBVIEW2_MOVE_FOCUS_REASON reason_;
  BOOL handled_ = FALSE;
};

// --- the scenario -------------------------------------------------------------------

struct Step {
  std::string verb;
  std::string rest;
};

struct Scenario {
  // Steps by address pattern, each list played once when a document whose
  // address matches completes.
  std::vector<std::pair<std::string, std::vector<Step>>> pages;
  std::string close_query = "close";  // what the page's close query does
};

Scenario LoadScenario() {
  Scenario scenario;
  wchar_t path[MAX_PATH * 2];
  const DWORD size = GetEnvironmentVariableW(L"TESSEL_STANDIN_SCENARIO", path, MAX_PATH * 2);
  if (size == 0 || size >= MAX_PATH * 2) return scenario;
  std::ifstream in(std::filesystem::path(std::wstring(path, size)));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    Step step{line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)};
    if (step.verb == "page") {
      scenario.pages.emplace_back(step.rest, std::vector<Step>{});
    } else if (!scenario.pages.empty()) {
      scenario.pages.back().second.push_back(step);
    }
  }
  return scenario;
}

// --- the page model -------------------------------------------------------------------

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// file:///C:/x, file://C:/x and file:///x (the current drive) as a path.
std::optional<std::wstring> FilePath(const std::string& uri) {
  if (!platform::StartsWithIgnoreAsciiCase(uri, "file://")) return std::nullopt;
  std::string path = PercentDecode(uri.substr(7));
  if (const auto cut = path.find_first_of("?#"); cut != std::string::npos) path.resize(cut);
  if (path.size() >= 3 && path[0] == '/' && path[2] == ':') path.erase(0, 1);
  std::replace(path.begin(), path.end(), '/', '\\');
  return WideFromUtf8(path);
}

std::optional<std::string> ReadDisk(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// `relative` against the document's address.
std::string Resolve(const std::string& base, const std::string& relative) {
  static const std::regex scheme("^[A-Za-z][A-Za-z0-9+.-]*:");
  if (std::regex_search(relative, scheme)) return relative;
  std::string root = base;
  if (const auto cut = root.find_first_of("?#"); cut != std::string::npos) root.resize(cut);
  const auto authority = root.find("://");
  const auto path_start =
      authority == std::string::npos ? std::string::npos : root.find('/', authority + 3);
  if (!relative.empty() && relative[0] == '/') {
    return (path_start == std::string::npos ? root : root.substr(0, path_start)) + relative;
  }
  const auto slash = root.rfind('/');
  std::string joined =
      (slash == std::string::npos ? root + "/" : root.substr(0, slash + 1)) + relative;
  // "./" and "../" segments of the path.
  const std::size_t keep = path_start == std::string::npos ? 0 : path_start;
  std::string path = joined.substr(keep);
  std::vector<std::string> parts;
  std::stringstream segments(path);
  std::string part;
  while (std::getline(segments, part, '/')) {
    if (part == ".") continue;
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string normal;
  for (std::size_t i = 0; i < parts.size(); ++i) normal += (i ? "/" : "") + parts[i];
  if (!path.empty() && path.back() == '/') normal += '/';
  return joined.substr(0, keep) + normal;
}

struct Subresource {
  std::string uri;
  wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT context;
};

// The scripts, style sheets and images a document names.
std::vector<Subresource> Subresources(const std::string& html, const std::string& base) {
  static const std::regex tag(R"(<(script|link|img)\b([^>]*)>)", std::regex::icase);
  static const std::regex attribute(R"(\b(src|href)\s*=\s*["']([^"']+)["'])", std::regex::icase);
  std::vector<Subresource> found;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), tag); it != std::sregex_iterator();
       ++it) {
    const std::string name = platform::EqualsIgnoreAsciiCase((*it)[1].str(), "script") ? "script"
                             : platform::EqualsIgnoreAsciiCase((*it)[1].str(), "link") ? "link"
                                                                                       : "img";
    const std::string attributes = (*it)[2].str();
    std::smatch match;
    if (!std::regex_search(attributes, match, attribute)) continue;
    const auto context = name == "script" ? wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_SCRIPT
                         : name == "link" ? wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_STYLESHEET
                                          : wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_IMAGE;
    found.push_back({Resolve(base, match[2].str()), context});
  }
  return found;
}

std::string Title(const std::string& html) {
  static const std::regex title(R"(<title>([\s\S]*?)</title>)", std::regex::icase);
  std::smatch match;
  return std::regex_search(html, match, title) ? match[1].str() : std::string();
}

std::string Hex(std::uint64_t value) {
  char text[20];
  wsprintfA(text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// A 1x1 picture in each format, for CapturePreview.
constexpr unsigned char kPng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00,
    0x00, 0x90, 0x77, 0x53, 0xDE, 0x00, 0x00, 0x00, 0x0C, 0x49, 0x44, 0x41, 0x54, 0x08,
    0xD7, 0x63, 0x60, 0xA8, 0x60, 0x00, 0x00, 0x00, 0x83, 0x00, 0x81, 0x3C, 0xA6, 0x43,
    0x2D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
constexpr unsigned char kJpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46,
                                   0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
                                   0x00, 0x01, 0x00, 0x00, 0xFF, 0xD9};

class Settings;
class WebView;

// The state behind one controller, its web view and settings.
struct Core {
  HWND parent = nullptr;
  bool closed = false;
  bool crashed = false;  // closed by the engine itself: the scenario goes on
  RECT bounds{};
  BOOL visible = TRUE;
  double zoom = 1.0;
  BOOL flags[9] = {TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE};
  Ref<wv::ICoreWebView2Environment> environment;
  WebView* web_view = nullptr;  // the one live object, not a reference
  Settings* settings = nullptr;

  std::string source = "about:blank";
  std::string title;
  std::string html;
  UINT64 navigation = 0;
  // The session history: each committed document's address (and the markup
  // of one shown from a string), and which entry is shown. The view's first
  // about:blank is no entry, as in the engine.
  struct Entry {
    std::string uri;
    std::optional<std::string> html;
  };
  std::vector<Entry> history;
  std::size_t at = 0;
  std::vector<std::pair<std::wstring, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT>> filters;
  std::vector<std::pair<int, std::string>> scripts;  // added at document creation
  int next_script = 0;
  int bodies = 0;
  Scenario scenario;
  std::vector<bool> played;
  std::vector<std::string> posted;  // what the runtime posted, in order

  Handlers<wv::ICoreWebView2NavigationStartingEventHandler> navigation_starting;
  Handlers<wv::ICoreWebView2ContentLoadingEventHandler> content_loading;
  Handlers<wv::ICoreWebView2SourceChangedEventHandler> source_changed;
  Handlers<wv::ICoreWebView2HistoryChangedEventHandler> history_changed;
  Handlers<wv::ICoreWebView2NavigationCompletedEventHandler> navigation_completed;
  Handlers<wv::ICoreWebView2NavigationStartingEventHandler> frame_navigation_starting;
  Handlers<wv::ICoreWebView2NavigationCompletedEventHandler> frame_navigation_completed;
  Handlers<wv::ICoreWebView2ScriptDialogOpeningEventHandler> script_dialog_opening;
  Handlers<wv::ICoreWebView2PermissionRequestedEventHandler> permission_requested;
  Handlers<wv::ICoreWebView2ProcessFailedEventHandler> process_failed;
  Handlers<wv::ICoreWebView2WebMessageReceivedEventHandler> web_message_received;
  Handlers<wv::ICoreWebView2NewWindowRequestedEventHandler> new_window_requested;
  Handlers<wv::ICoreWebView2DocumentTitleChangedEventHandler> document_title_changed;
  Handlers<wv::ICoreWebView2ContainsFullScreenElementChangedEventHandler> full_screen_changed;
  Handlers<wv::ICoreWebView2WebResourceRequestedEventHandler> web_resource_requested;
  Handlers<wv::ICoreWebView2WindowCloseRequestedEventHandler> window_close_requested;
  Handlers<wv::ICoreWebView2ZoomFactorChangedEventHandler> zoom_factor_changed;
  Handlers<wv::ICoreWebView2MoveFocusRequestedEventHandler> move_focus_requested;
  Handlers<wv::ICoreWebView2FocusChangedEventHandler> got_focus;
  Handlers<wv::ICoreWebView2FocusChangedEventHandler> lost_focus;
  Handlers<wv::ICoreWebView2AcceleratorKeyPressedEventHandler> accelerator_key_pressed;

  void Close() {
    closed = true;
    ForgetDownloads(this);
    navigation_starting.Clear();
    content_loading.Clear();
    source_changed.Clear();
    history_changed.Clear();
    navigation_completed.Clear();
    frame_navigation_starting.Clear();
    frame_navigation_completed.Clear();
    script_dialog_opening.Clear();
    permission_requested.Clear();
    process_failed.Clear();
    web_message_received.Clear();
    new_window_requested.Clear();
    document_title_changed.Clear();
    full_screen_changed.Clear();
    web_resource_requested.Clear();
    window_close_requested.Clear();
    zoom_factor_changed.Clear();
    move_focus_requested.Clear();
    got_focus.Clear();
    lost_focus.Clear();
    accelerator_key_pressed.Clear();
    environment.Reset();
  }
};

// Runs the steps of one navigation one message at a time; a newer
// navigation, or Close, abandons the rest.
class Pipeline : public std::enable_shared_from_this<Pipeline> {
 public:
  Pipeline(std::shared_ptr<Core> core, UINT64 id) : core_(std::move(core)), id_(id) {}
  void Then(std::function<void(const std::function<void()>& next)> step) {
    steps_.push_back(std::move(step));
  }
  void Next() {
    auto self = shared_from_this();
    Post([self] {
      if (self->core_->closed || self->core_->navigation != self->id_ || self->steps_.empty()) {
        return;
      }
      auto step = std::move(self->steps_.front());
      self->steps_.pop_front();
      step([self] { self->Next(); });
    });
  }

 private:
  std::shared_ptr<Core> core_;
  UINT64 id_;
  std::deque<std::function<void(const std::function<void()>&)>> steps_;
};

// Asks the runtime for one resource when a filter takes it, with `headers`
// besides Accept; `done` gets what was served (answered false when the
// runtime left it to the engine).
void Fetch(const std::shared_ptr<Core>& core, const std::string& uri,
           wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT context, std::function<void(Served)> done,
           std::vector<Header> headers = {}) {
  const std::wstring wide = WideFromUtf8(uri);
  const bool filtered = std::any_of(core->filters.begin(), core->filters.end(), [&](const auto& f) {
    return (f.second == wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_ALL || f.second == context) &&
           platform::WildcardMatch(Utf8FromWide(f.first), uri);
  });
  auto fallback = [uri]() {
    Served served;
    if (auto path = FilePath(uri)) {
      if (auto bytes = ReadDisk(*path)) {
        served.status = 200;
        served.body = std::move(*bytes);
      } else {
        served.status = 404;
        served.body = "<!DOCTYPE html><title>Not Found</title><p>Not Found</p>";
      }
    }
    return served;
  };
  if (!filtered) {
    done(fallback());
    return;
  }
  Log("request " + uri + " context=" + std::to_string(context));
  auto args = Ref<ResourceArgs>::Adopt(new ResourceArgs(wide, context, std::move(headers)));
  auto finish = [core, uri, args, done, fallback]() {
    if (args->response() == nullptr) {
      Log("unanswered " + uri);
      done(fallback());
      return;
    }
    Served served = ReadResponse(args->response());
    const int n = ++core->bodies;
    std::string line = "response " + uri + " status=" + std::to_string(served.status) +
                       " reason=" + Utf8FromWide(served.reason) +
                       " headers=" + std::to_string(served.headers.size()) +
                       " bytes=" + std::to_string(served.body.size()) +
                       " body=" + std::to_string(n);
    Log(line);
    for (const auto& [name, value] : served.headers) {
      Log("header " + uri + " " + Utf8FromWide(name) + ": " + Utf8FromWide(value));
    }
    const std::wstring log = LogPath();
    if (!log.empty()) {
      std::ofstream(std::filesystem::path(log + L".body." + std::to_wstring(GetCurrentProcessId()) +
                                          L"." + std::to_wstring(n)),
                    std::ios::binary)
          << served.body;
    }
    done(std::move(served));
  };
  args->deferrable.resume = finish;
  core->web_resource_requested.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
  if (args->deferrable.taken == 0) {
    args->deferrable.sealed = true;
    args->deferrable.resume = nullptr;
    finish();
  }
}

void PlayScenario(const std::shared_ptr<Core>& core);

// A page's alert, confirm, prompt or leave question; `done` gets what the
// page's call returns, as JSON.
void OpenDialog(const std::shared_ptr<Core>& core, wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind,
                const std::string& message, const std::string& default_text,
                std::function<void(const std::string&)> done);
bool ParseDialogCall(const std::string& script, wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND* kind,
                     std::string* message, std::string* default_text);

// Navigates to `uri`, or shows `html` as about:blank; into the history
// entry `entry` (back, forward, reload) or a new one after the shown one.
void StartNavigation(const std::shared_ptr<Core>& core, const std::string& uri,
                     std::optional<std::string> html,
                     std::optional<std::size_t> entry = std::nullopt);

// Shows history entry `entry` again: a new document, as the engine makes one.
void Revisit(const std::shared_ptr<Core>& core, std::size_t entry) {
  if (entry >= core->history.size()) {
    StartNavigation(core, core->source, std::nullopt);
    return;
  }
  const Core::Entry shown = core->history[entry];
  StartNavigation(core, shown.uri, shown.html, entry);
}

class Settings final : public Object<wv::ICoreWebView2Settings> {
 public:
  explicit Settings(std::shared_ptr<Core> core) : Object("Settings"), core_(std::move(core)) {
    core_->settings = this;
  }
  ~Settings() override { core_->settings = nullptr; }

#define STANDIN_FLAG(Name, index)                                \
  ::HRESULT STDMETHODCALLTYPE get_##Name(BOOL* value) override { \
    STANDIN_ON_OWNER_THREAD();                                   \
    return OutValue(core_->flags[index], value);                 \
  }                                                              \
  ::HRESULT STDMETHODCALLTYPE put_##Name(BOOL value) override {  \
    STANDIN_ON_OWNER_THREAD();                                   \
    core_->flags[index] = value;                                 \
    return S_OK;                                                 \
  }
  STANDIN_FLAG(IsScriptEnabled, 0)
  STANDIN_FLAG(IsWebMessageEnabled, 1)
  STANDIN_FLAG(AreDefaultScriptDialogsEnabled, 2)
  STANDIN_FLAG(IsStatusBarEnabled, 3)
  STANDIN_FLAG(AreDevToolsEnabled, 4)
  STANDIN_FLAG(AreDefaultContextMenusEnabled, 5)
  STANDIN_FLAG(AreHostObjectsAllowed, 6)
  STANDIN_FLAG(IsZoomControlEnabled, 7)
  STANDIN_FLAG(IsBuiltInErrorPageEnabled, 8)
#undef STANDIN_FLAG

 private:
  std::shared_ptr<Core> core_;
};

class DevToolsReceiver final : public Object<wv::ICoreWebView2DevToolsProtocolEventReceiver> {
 public:
  DevToolsReceiver() : Object("DevToolsProtocolEventReceiver") {}
  ::HRESULT STDMETHODCALLTYPE add_DevToolsProtocolEventReceived(
      wv::ICoreWebView2DevToolsProtocolEventReceivedEventHandler* handler,
      ::EventRegistrationToken* token) override {
    STANDIN_ON_OWNER_THREAD();
    return handlers_.Add(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_DevToolsProtocolEventReceived(::EventRegistrationToken token) override {
    STANDIN_ON_OWNER_THREAD();
    return handlers_.Remove(token);
  }

 private:
  Handlers<wv::ICoreWebView2DevToolsProtocolEventReceivedEventHandler> handlers_;
};

// After the runtime's own Close a call is its fault; after the engine closed
// the view itself it cannot know yet.
#define STANDIN_OPEN()                                                            \
  STANDIN_ON_OWNER_THREAD();                                                      \
  if (core_->closed) {                                                            \
    if (!core_->crashed) Fault(MethodName(__PRETTY_FUNCTION__) + " after Close"); \
    return kInvalidState;                                                         \
  }

#define STANDIN_EVENT(Name, member, HandlerType)                                       \
  ::HRESULT STDMETHODCALLTYPE add_##Name(wv::HandlerType* handler,                     \
                                         ::EventRegistrationToken* token) override {   \
    STANDIN_OPEN();                                                                    \
    return core_->member.Add(handler, token);                                          \
  }                                                                                    \
  ::HRESULT STDMETHODCALLTYPE remove_##Name(::EventRegistrationToken token) override { \
    STANDIN_ON_OWNER_THREAD();                                                         \
    return core_->member.Remove(token);                                                \
  }

class WebView final : public Object<wv::ICoreWebView2> {
 public:
  explicit WebView(std::shared_ptr<Core> core) : Object("CoreWebView2"), core_(std::move(core)) {
    core_->web_view = this;
  }
  ~WebView() override { core_->web_view = nullptr; }

  // The newer view interfaces (downloads) are a tear-off of this view.
  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsNewerViewInterface(iid)) return QueryNewerView(this, core_.get(), iid, object);
    return Object::QueryInterface(iid, object);
  }

  ::HRESULT STDMETHODCALLTYPE get_Settings(wv::ICoreWebView2Settings** settings) override {
    STANDIN_OPEN();
    if (core_->settings != nullptr) {
      return OutRef(Ref<wv::ICoreWebView2Settings>::Borrow(core_->settings), settings);
    }
    return OutRef(Ref<wv::ICoreWebView2Settings>::Adopt(new Settings(core_)), settings);
  }
  ::HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override {
    STANDIN_OPEN();
    return OutString(WideFromUtf8(core_->source), uri);
  }
  ::HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
    STANDIN_OPEN();
    if (uri == nullptr) return E_POINTER;
    static const std::regex absolute("^[A-Za-z][A-Za-z0-9+.-]*:\\S*$");
    const std::string text = Utf8FromWide(uri);
    if (!std::regex_match(text, absolute)) return E_INVALIDARG;
    StartNavigation(core_, text, std::nullopt);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
    STANDIN_OPEN();
    if (html == nullptr) return E_POINTER;
    StartNavigation(core_, "about:blank", Utf8FromWide(html));
    return S_OK;
  }
  STANDIN_EVENT(NavigationStarting, navigation_starting,
                ICoreWebView2NavigationStartingEventHandler)
  STANDIN_EVENT(ContentLoading, content_loading, ICoreWebView2ContentLoadingEventHandler)
  STANDIN_EVENT(SourceChanged, source_changed, ICoreWebView2SourceChangedEventHandler)
  STANDIN_EVENT(HistoryChanged, history_changed, ICoreWebView2HistoryChangedEventHandler)
  STANDIN_EVENT(NavigationCompleted, navigation_completed,
                ICoreWebView2NavigationCompletedEventHandler)
  STANDIN_EVENT(FrameNavigationStarting, frame_navigation_starting,
                ICoreWebView2NavigationStartingEventHandler)
  STANDIN_EVENT(FrameNavigationCompleted, frame_navigation_completed,
                ICoreWebView2NavigationCompletedEventHandler)
  STANDIN_EVENT(ScriptDialogOpening, script_dialog_opening,
                ICoreWebView2ScriptDialogOpeningEventHandler)
  STANDIN_EVENT(PermissionRequested, permission_requested,
                ICoreWebView2PermissionRequestedEventHandler)
  STANDIN_EVENT(ProcessFailed, process_failed, ICoreWebView2ProcessFailedEventHandler)

  ::HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
      LPCWSTR script,
      wv::ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) override {
    STANDIN_OPEN();
    if (script == nullptr) return E_POINTER;
    const int id = ++core_->next_script;
    const std::string bytes = Utf8FromWide(script);
    core_->scripts.emplace_back(id, bytes);
    const std::wstring log = LogPath();
    if (!log.empty()) {
      std::ofstream(
          std::filesystem::path(log + L".script." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                std::to_wstring(id)),
          std::ios::binary)
          << bytes;
    }
    Log("add-script " + std::to_string(id) + " bytes=" + std::to_string(bytes.size()));
    auto keep =
        Ref<wv::ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler>::Borrow(handler);
    auto core = core_;
    Post([keep, id, core] {
      if (keep && !core->closed) keep->Invoke(S_OK, std::to_wstring(id).c_str());
    });
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR id) override {
    STANDIN_OPEN();
    const int number = _wtoi(Wide(id).c_str());
    std::erase_if(core_->scripts, [&](const auto& s) { return s.first == number; });
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE
  ExecuteScript(LPCWSTR script, wv::ICoreWebView2ExecuteScriptCompletedHandler* handler) override {
    STANDIN_OPEN();
    if (script == nullptr) return E_POINTER;
    const std::string text = Utf8FromWide(script);
    Log("script " + text);
    auto keep = Ref<wv::ICoreWebView2ExecuteScriptCompletedHandler>::Borrow(handler);
    auto core = core_;
    wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind{};
    std::string message;
    std::string default_text;
    if (ParseDialogCall(text, &kind, &message, &default_text)) {
      // The script's result waits for the dialog's answer.
      Post([keep, core, kind, message, default_text] {
        OpenDialog(core, kind, message, default_text, [keep, core](const std::string& result) {
          if (keep && !core->closed) keep->Invoke(S_OK, WideFromUtf8(result).c_str());
        });
      });
      return S_OK;
    }
    Post([keep, core, text] {
      if (core->closed) return;
      if (text == "vtx.events.onCloseQuery();" && core->scenario.close_query == "close") {
        // The page's default close query: vtx.app.close().
        RaiseMessage(core, core->source, R"({"id":50001,"uuid":"close-query","data":{}})");
      }
      if (keep) keep->Invoke(S_OK, L"null");
    });
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE
  CapturePreview(wv::COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT format, IStream* stream,
                 wv::ICoreWebView2CapturePreviewCompletedHandler* handler) override {
    STANDIN_OPEN();
    if (stream == nullptr || handler == nullptr) return E_INVALIDARG;
    auto target = Ref<IStream>::Borrow(stream);
    auto keep = Ref<wv::ICoreWebView2CapturePreviewCompletedHandler>::Borrow(handler);
    auto core = core_;
    Post([target, keep, core, format] {
      if (core->closed) return;
      ULONG written = 0;
      const ::HRESULT hr = format == wv::COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT_JPEG
                               ? target->Write(kJpeg, sizeof kJpeg, &written)
                               : target->Write(kPng, sizeof kPng, &written);
      keep->Invoke(hr);
    });
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE Reload() override {
    STANDIN_OPEN();
    Revisit(core_, core_->at);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
    STANDIN_OPEN();
    if (json == nullptr) return E_POINTER;
    const std::string text = Utf8FromWide(json);
    if (!platform::IsJson(text)) return E_INVALIDARG;
    Log("posted " + text);
    core_->posted.push_back(text);
    // The engine hands it to the document shown now, whichever asked.
    Log("message-delivered " + core_->source + " " + text);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR text) override {
    STANDIN_OPEN();
    if (text == nullptr) return E_POINTER;
    Log("posted-string " + Utf8FromWide(text));
    return S_OK;
  }
  STANDIN_EVENT(WebMessageReceived, web_message_received,
                ICoreWebView2WebMessageReceivedEventHandler)
  ::HRESULT STDMETHODCALLTYPE CallDevToolsProtocolMethod(
      LPCWSTR, LPCWSTR, wv::ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*) override {
    STANDIN_OPEN();
    return E_NOTIMPL;
  }
  ::HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32* value) override {
    STANDIN_OPEN();
    return OutValue<UINT32>(GetCurrentProcessId(), value);
  }
  ::HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL* value) override {
    STANDIN_OPEN();
    return OutValue<BOOL>(!core_->history.empty() && core_->at > 0, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL* value) override {
    STANDIN_OPEN();
    return OutValue<BOOL>(core_->at + 1 < core_->history.size(), value);
  }
  // With nowhere to go, nothing happens, as in the engine.
  ::HRESULT STDMETHODCALLTYPE GoBack() override {
    STANDIN_OPEN();
    if (!core_->history.empty() && core_->at > 0) Revisit(core_, core_->at - 1);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE GoForward() override {
    STANDIN_OPEN();
    if (core_->at + 1 < core_->history.size()) Revisit(core_, core_->at + 1);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(
      LPCWSTR name, wv::ICoreWebView2DevToolsProtocolEventReceiver** receiver) override {
    STANDIN_OPEN();
    if (name == nullptr) return E_POINTER;
    return OutRef(Ref<wv::ICoreWebView2DevToolsProtocolEventReceiver>::Adopt(new DevToolsReceiver),
                  receiver);
  }
  ::HRESULT STDMETHODCALLTYPE Stop() override {
    STANDIN_OPEN();
    return S_OK;
  }
  STANDIN_EVENT(NewWindowRequested, new_window_requested,
                ICoreWebView2NewWindowRequestedEventHandler)
  STANDIN_EVENT(DocumentTitleChanged, document_title_changed,
                ICoreWebView2DocumentTitleChangedEventHandler)
  ::HRESULT STDMETHODCALLTYPE get_DocumentTitle(LPWSTR* title) override {
    STANDIN_OPEN();
    return OutString(WideFromUtf8(core_->title), title);
  }
  ::HRESULT STDMETHODCALLTYPE AddHostObjectToScript(LPCWSTR, VARIANT*) override {
    STANDIN_OPEN();
    return E_NOTIMPL;
  }
  ::HRESULT STDMETHODCALLTYPE RemoveHostObjectFromScript(LPCWSTR) override {
    STANDIN_OPEN();
    return E_NOTIMPL;
  }
  ::HRESULT STDMETHODCALLTYPE OpenDevToolsWindow() override {
    STANDIN_OPEN();
    Log("devtools");
    return S_OK;
  }
  STANDIN_EVENT(ContainsFullScreenElementChanged, full_screen_changed,
                ICoreWebView2ContainsFullScreenElementChangedEventHandler)
  ::HRESULT STDMETHODCALLTYPE get_ContainsFullScreenElement(BOOL* value) override {
    STANDIN_OPEN();
    return OutValue<BOOL>(FALSE, value);
  }
  STANDIN_EVENT(WebResourceRequested, web_resource_requested,
                ICoreWebView2WebResourceRequestedEventHandler)
  ::HRESULT STDMETHODCALLTYPE AddWebResourceRequestedFilter(
      LPCWSTR uri, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT context) override {
    STANDIN_OPEN();
    if (uri == nullptr) return E_POINTER;
    if (context < wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_ALL ||
        context > wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_OTHER) {
      return E_INVALIDARG;
    }
    core_->filters.emplace_back(uri, context);
    Log("filter " + Utf8FromWide(uri) + " context=" + std::to_string(context));
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE RemoveWebResourceRequestedFilter(
      LPCWSTR uri, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT context) override {
    STANDIN_OPEN();
    if (uri == nullptr) return E_POINTER;
    auto& filters = core_->filters;
    const auto it = std::find(filters.begin(), filters.end(), std::make_pair(Wide(uri), context));
    if (it == filters.end()) return E_INVALIDARG;
    filters.erase(it);
    return S_OK;
  }
  STANDIN_EVENT(WindowCloseRequested, window_close_requested,
                ICoreWebView2WindowCloseRequestedEventHandler)

  static void RaiseMessage(const std::shared_ptr<Core>& core, const std::string& source,
                           const std::string& json) {
    if (core->closed || !core->flags[1]) return;
    Log("message " + source + " " + json);
    auto args = Ref<MessageArgs>::Adopt(new MessageArgs(WideFromUtf8(source), WideFromUtf8(json)));
    core->web_message_received.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
  }

 private:
  std::shared_ptr<Core> core_;
};

class Controller final : public Object<wv::ICoreWebView2Controller> {
 public:
  explicit Controller(std::shared_ptr<Core> core) : Object("Controller"), core_(std::move(core)) {}

  ::HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) override {
    STANDIN_OPEN();
    return OutValue(core_->visible, visible);
  }
  ::HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
    STANDIN_OPEN();
    core_->visible = visible;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) override {
    STANDIN_OPEN();
    return OutValue(core_->bounds, bounds);
  }
  ::HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
    STANDIN_OPEN();
    core_->bounds = bounds;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* zoom) override {
    STANDIN_OPEN();
    return OutValue(core_->zoom, zoom);
  }
  ::HRESULT STDMETHODCALLTYPE put_ZoomFactor(double zoom) override {
    STANDIN_OPEN();
    if (!(zoom > 0.0)) return E_INVALIDARG;
    if (zoom != core_->zoom) {
      core_->zoom = zoom;
      auto core = core_;
      Post([core] {
        if (!core->closed) core->zoom_factor_changed.Raise(nullptr, nullptr);
      });
    }
    return S_OK;
  }
  STANDIN_EVENT(ZoomFactorChanged, zoom_factor_changed, ICoreWebView2ZoomFactorChangedEventHandler)
  ::HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double zoom) override {
    STANDIN_ON_OWNER_THREAD();
    const ::HRESULT hr = put_ZoomFactor(zoom);
    return FAILED(hr) ? hr : put_Bounds(bounds);
  }
  ::HRESULT STDMETHODCALLTYPE MoveFocus(wv::COREWEBVIEW2_MOVE_FOCUS_REASON reason) override {
    STANDIN_OPEN();
    Log("move-focus-call reason=" + std::to_string(reason));
    auto core = core_;
    Post([core] {
      if (!core->closed) core->got_focus.Raise(nullptr, nullptr);
    });
    return S_OK;
  }
  STANDIN_EVENT(MoveFocusRequested, move_focus_requested,
                ICoreWebView2MoveFocusRequestedEventHandler)
  STANDIN_EVENT(GotFocus, got_focus, ICoreWebView2FocusChangedEventHandler)
  STANDIN_EVENT(LostFocus, lost_focus, ICoreWebView2FocusChangedEventHandler)
  STANDIN_EVENT(AcceleratorKeyPressed, accelerator_key_pressed,
                ICoreWebView2AcceleratorKeyPressedEventHandler)
  ::HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parent) override {
    STANDIN_OPEN();
    return OutValue(core_->parent, parent);
  }
  ::HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND parent) override {
    STANDIN_OPEN();
    if (parent == nullptr || !IsWindow(parent)) return E_INVALIDARG;
    core_->parent = parent;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override {
    STANDIN_OPEN();
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE Close() override {
    STANDIN_ON_OWNER_THREAD();
    if (core_->closed) return S_OK;
    Log("close");
    // Handlers go now; work still under way never answers.
    core_->Close();
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_CoreWebView2(wv::ICoreWebView2** web_view) override {
    STANDIN_OPEN();
    if (core_->web_view != nullptr) {
      return OutRef(Ref<wv::ICoreWebView2>::Borrow(core_->web_view), web_view);
    }
    return OutRef(Ref<wv::ICoreWebView2>::Adopt(new WebView(core_)), web_view);
  }

 private:
  std::shared_ptr<Core> core_;
};

#undef STANDIN_EVENT
#undef STANDIN_OPEN

void StartNavigation(const std::shared_ptr<Core>& core, const std::string& uri,
                     std::optional<std::string> html, std::optional<std::size_t> entry) {
  const UINT64 id = ++core->navigation;
  auto pipeline = std::make_shared<Pipeline>(core, id);
  auto document = std::make_shared<Served>();
  auto error_page = std::make_shared<bool>(false);
  Log("navigate " + uri);
  pipeline->Then([core, uri, id](const std::function<void()>& next) {
    auto args =
        Ref<NavigationStartingArgs>::Adopt(new NavigationStartingArgs(WideFromUtf8(uri), id));
    core->navigation_starting.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
    if (args->cancel()) {
      Log("cancelled " + uri);
      ++core->navigation;  // the rest of this pipeline is dropped
      Post([core, id] {
        auto done = Ref<NavigationCompletedArgs>::Adopt(new NavigationCompletedArgs(
            false, wv::COREWEBVIEW2_WEB_ERROR_STATUS_OPERATION_CANCELED, id));
        core->navigation_completed.Raise(static_cast<wv::ICoreWebView2*>(nullptr), done.Get());
      });
      return;
    }
    next();
  });
  pipeline->Then([core, uri, html, document, error_page](const std::function<void()>& next) {
    if (html) {
      document->answered = true;
      document->status = 200;
      document->body = *html;
      next();
      return;
    }
    Fetch(core, uri, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_DOCUMENT,
          [document, error_page, next, uri](Served served) {
            *error_page = served.status == 0 || served.status >= 400;
            if (served.status == 0 && uri != "about:blank") {
              served.body = "<!DOCTYPE html><title>Not Found</title><p>Not Found</p>";
            }
            *document = std::move(served);
            next();
          });
  });
  pipeline->Then([core, uri, html, entry](const std::function<void()>& next) {
    // The commit: from here on the new document is the one shown.
    core->source = html ? "about:blank" : uri;
    if (entry) {
      core->at = *entry;
    } else {
      if (!core->history.empty()) core->history.resize(core->at + 1);
      core->history.push_back({core->source, html});
      core->at = core->history.size() - 1;
    }
    auto args = Ref<SourceChangedArgs>::Adopt(new SourceChangedArgs);
    core->source_changed.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
    next();
  });
  pipeline->Then([core, id, error_page](const std::function<void()>& next) {
    auto args = Ref<ContentLoadingArgs>::Adopt(new ContentLoadingArgs(*error_page, id));
    core->content_loading.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
    core->history_changed.Raise(static_cast<wv::ICoreWebView2*>(nullptr),
                                static_cast<IUnknown*>(nullptr));
    std::string ids;
    for (const auto& entry : core->scripts) {
      ids += ' ';
      ids += std::to_string(entry.first);
    }
    Log("document " + core->source + " scripts" + ids);
    next();
  });
  // The document's own resources, one at a time.
  pipeline->Then([core, document, uri](const std::function<void()>& next) {
    core->html = document->body;
    auto list = std::make_shared<std::vector<Subresource>>(Subresources(document->body, uri));
    // Each hop keeps the chain alive; the chain holds itself only weakly.
    auto fetch_one = std::make_shared<std::function<void(std::size_t)>>();
    std::weak_ptr<std::function<void(std::size_t)>> weak = fetch_one;
    *fetch_one = [core, list, weak, next](std::size_t at) {
      if (core->closed) return;
      if (at >= list->size()) {
        next();
        return;
      }
      Fetch(core, (*list)[at].uri, (*list)[at].context,
            [hop = weak.lock(), at](const Served&) { Post([hop, at] { (*hop)(at + 1); }); });
    };
    (*fetch_one)(0);
  });
  pipeline->Then([core](const std::function<void()>& next) {
    const std::string title = Title(core->html);
    if (title != core->title) {
      core->title = title;
      core->document_title_changed.Raise(static_cast<wv::ICoreWebView2*>(nullptr),
                                         static_cast<IUnknown*>(nullptr));
    }
    next();
  });
  pipeline->Then([core, id, error_page](const std::function<void()>& next) {
    Log("completed " + core->source + " title=" + core->title);
    auto args = Ref<NavigationCompletedArgs>::Adopt(
        new NavigationCompletedArgs(!*error_page,
                                    *error_page ? wv::COREWEBVIEW2_WEB_ERROR_STATUS_UNKNOWN
                                                : wv::COREWEBVIEW2_WEB_ERROR_STATUS_UNKNOWN,
                                    id));
    core->navigation_completed.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
    next();
  });
  pipeline->Then([core](const std::function<void()>&) { PlayScenario(core); });
  pipeline->Next();
}

// --- dialogs, keys, focus and failures ----------------------------------------------

std::string DialogKindName(wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind) {
  switch (kind) {
    case wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_ALERT:
      return "alert";
    case wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_CONFIRM:
      return "confirm";
    case wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_PROMPT:
      return "prompt";
    default:
      return "beforeunload";
  }
}

std::optional<wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND> DialogKind(const std::string& name) {
  for (const auto kind :
       {wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_ALERT, wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_CONFIRM,
        wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_PROMPT,
        wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_BEFOREUNLOAD}) {
    if (DialogKindName(kind) == name) return kind;
  }
  return std::nullopt;
}

// What the page's call returns: alert nothing, confirm and the leave question
// whether it was accepted, prompt the text or null.
std::string DialogResult(wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind, bool accepted,
                         const std::wstring& text) {
  switch (kind) {
    case wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_ALERT:
      return "null";
    case wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND_PROMPT:
      return accepted ? platform::EncodeJsonString(Utf8FromWide(text)) : "null";
    default:
      return accepted ? "true" : "false";
  }
}

void OpenDialog(const std::shared_ptr<Core>& core, wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND kind,
                const std::string& message, const std::string& default_text,
                std::function<void(const std::string&)> done) {
  if (core->closed) return;
  // The engine's own dialogs raise no event; nobody here answers them, so
  // they end as Escape would.
  if (core->flags[2]) {
    Log("default-dialog " + DialogKindName(kind) + " " + message);
    done(DialogResult(kind, false, L""));
    return;
  }
  auto args = Ref<ScriptDialogArgs>::Adopt(new ScriptDialogArgs(
      WideFromUtf8(core->source), kind, WideFromUtf8(message), WideFromUtf8(default_text)));
  auto finish = [args, kind, done] {
    const std::string result = DialogResult(kind, args->accepted(), args->result_text());
    Log("dialog " + DialogKindName(kind) + " accepted=" + std::to_string(args->accepted() ? 1 : 0) +
        " result=" + result);
    done(result);
  };
  args->deferrable.resume = finish;
  core->script_dialog_opening.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
  if (args->deferrable.taken == 0) {
    args->deferrable.sealed = true;
    args->deferrable.resume = nullptr;
    finish();
  }
}

// "alert(\"text\")", "confirm(\"text\")" or "prompt(\"text\", \"default\")"
// with JSON strings: the one kind of page script the model runs.
bool ParseDialogCall(const std::string& script, wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND* kind,
                     std::string* message, std::string* default_text) {
  static const std::regex call(R"(^\s*(alert|confirm|prompt)\((.*)\)\s*;?\s*$)");
  static const std::regex literal(R"("(?:[^"\\]|\\.)*")");
  std::smatch match;
  if (!std::regex_match(script, match, call)) return false;
  *kind = *DialogKind(match[1].str());
  std::vector<std::string> texts;
  const std::string arguments = match[2].str();
  for (auto it = std::sregex_iterator(arguments.begin(), arguments.end(), literal);
       it != std::sregex_iterator(); ++it) {
    std::string text;
    if (!platform::DecodeJsonString(it->str(), &text)) return false;
    texts.push_back(std::move(text));
  }
  *message = texts.empty() ? "" : texts[0];
  *default_text = texts.size() > 1 ? texts[1] : "";
  return true;
}

// The key's lParam as the system builds it: one press, its scan code, and for
// a release the previous-state and transition bits.
INT KeyLParam(wv::COREWEBVIEW2_KEY_EVENT_KIND kind, UINT key) {
  auto bits = 1u | (MapVirtualKeyW(key, MAPVK_VK_TO_VSC) << 16);
  if (kind == wv::COREWEBVIEW2_KEY_EVENT_KIND_SYSTEM_KEY_DOWN ||
      kind == wv::COREWEBVIEW2_KEY_EVENT_KIND_SYSTEM_KEY_UP) {
    bits |= 1u << 29;
  }
  if (kind == wv::COREWEBVIEW2_KEY_EVENT_KIND_KEY_UP ||
      kind == wv::COREWEBVIEW2_KEY_EVENT_KIND_SYSTEM_KEY_UP) {
    bits |= 3u << 30;
  }
  return static_cast<INT>(bits);
}

// The host hears every key before the page. A key it leaves unhandled goes on
// to the engine's own keys: F5 reloads, F12 opens the developer tools when
// they are allowed.
void PressKey(const std::shared_ptr<Core>& core, wv::COREWEBVIEW2_KEY_EVENT_KIND kind, UINT key,
              INT lparam) {
  if (core->closed) return;
  auto args = Ref<KeyArgs>::Adopt(new KeyArgs(kind, key, lparam));
  core->accelerator_key_pressed.Raise(static_cast<wv::ICoreWebView2Controller*>(nullptr),
                                      args.Get());
  args->deferrable.sealed = true;
  Log("key kind=" + std::to_string(kind) + " vk=" + std::to_string(key) +
      " handled=" + std::to_string(args->handled() ? 1 : 0));
  if (args->handled() || core->closed || kind != wv::COREWEBVIEW2_KEY_EVENT_KIND_KEY_DOWN) return;
  if (key == VK_F5) {
    Revisit(core, core->at);
  } else if (key == VK_F12 && core->flags[4]) {
    Log("devtools");
  }
}

// The page asks to give the focus away (Tab past its last element): unless
// the host handles it, the engine keeps the focus.
void RequestFocusMove(const std::shared_ptr<Core>& core,
                      wv::COREWEBVIEW2_MOVE_FOCUS_REASON reason) {
  if (core->closed) return;
  auto args = Ref<MoveFocusArgs>::Adopt(new MoveFocusArgs(reason));
  core->move_focus_requested.Raise(static_cast<wv::ICoreWebView2Controller*>(nullptr), args.Get());
  args->deferrable.sealed = true;
  Log("move-focus reason=" + std::to_string(reason) +
      " handled=" + std::to_string(args->handled() ? 1 : 0));
}

// A process of the engine ended. The browser process takes the whole view
// with it: the view is closed as after Close, and the host has to make a new
// one; a page's process only takes the page.
void FailProcess(const std::shared_ptr<Core>& core, wv::COREWEBVIEW2_PROCESS_FAILED_KIND kind) {
  if (core->closed) return;
  Log("process-failed kind=" + std::to_string(kind));
  auto args = Ref<ProcessFailedArgs>::Adopt(new ProcessFailedArgs(kind));
  core->process_failed.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
  if (kind == wv::COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED) {
    core->crashed = true;
    core->Close();
  }
}

// --- the scenario player ----------------------------------------------------------

HWND TopLevel(const std::shared_ptr<Core>& core) {
  return core->parent != nullptr ? GetAncestor(core->parent, GA_ROOT) : nullptr;
}

void LogWindow(const std::shared_ptr<Core>& core) {
  HWND window = TopLevel(core);
  if (window == nullptr) return;
  wchar_t title[512] = {};
  GetWindowTextW(window, title, 512);
  RECT rect{};
  GetWindowRect(window, &rect);
  const auto style = static_cast<std::uint64_t>(GetWindowLongPtrW(window, GWL_STYLE));
  const auto exstyle = static_cast<std::uint64_t>(GetWindowLongPtrW(window, GWL_EXSTYLE));
  Log("window title=" + Utf8FromWide(title) + " style=" + Hex(style) + " exstyle=" + Hex(exstyle) +
      " zoomed=" + std::to_string(IsZoomed(window) ? 1 : 0) +
      " iconic=" + std::to_string(IsIconic(window) ? 1 : 0) +
      " topmost=" + std::to_string((exstyle & WS_EX_TOPMOST) != 0 ? 1 : 0) +
      " rect=" + std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
      std::to_string(rect.right) + "," + std::to_string(rect.bottom));
}

// The address the engine reports for a window a document at `opener` asks
// for: no document of another scheme may open a file: address, so the engine
// turns such a target into its blocked page before the host hears of it.
std::string ReportedWindowAddress(const std::string& opener, const std::string& uri) {
  const bool to_file = platform::StartsWithIgnoreAsciiCase(uri, "file:");
  const bool from_file = platform::StartsWithIgnoreAsciiCase(opener, "file:");
  return to_file && !from_file ? "about:blank#blocked" : uri;
}

// A document at `opener` (the page or one of its frames) asks for a window.
void RequestWindow(const std::shared_ptr<Core>& core, const std::string& opener,
                   const std::string& uri) {
  if (core->closed) return;
  const std::string reported = ReportedWindowAddress(opener, uri);
  if (reported != uri) Log("new-window-blocked " + opener + " " + uri);
  auto args = Ref<NewWindowArgs>::Adopt(new NewWindowArgs(WideFromUtf8(reported)));
  auto report = [args, reported] {
    Log("new-window " + reported + " handled=" + std::to_string(args->handled() ? 1 : 0));
  };
  args->deferrable.resume = report;
  core->new_window_requested.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
  if (args->deferrable.taken == 0) {
    args->deferrable.sealed = true;
    args->deferrable.resume = nullptr;
    report();
  }
}

void RunSteps(const std::shared_ptr<Core>& core, std::shared_ptr<std::vector<Step>> steps,
              std::size_t at, int waited_ms) {
  if ((core->closed && !core->crashed) || at >= steps->size()) return;
  const Step& step = (*steps)[at];
  auto next = [core, steps, at] { RunSteps(core, steps, at + 1, 0); };
  if (step.verb == "post") {
    WebView::RaiseMessage(core, core->source, step.rest);
  } else if (step.verb == "post-from") {
    const auto space = step.rest.find(' ');
    WebView::RaiseMessage(core, step.rest.substr(0, space), step.rest.substr(space + 1));
  } else if (step.verb == "wait-reply") {
    const std::string want = "\"uuid\": \"" + step.rest + "\"";
    const bool seen = std::any_of(core->posted.begin(), core->posted.end(),
                                  [&](const auto& p) { return p.find(want) != std::string::npos; });
    if (!seen && waited_ms < 20000) {
      Post([core, steps, at, waited_ms] { RunSteps(core, steps, at, waited_ms + 20); }, 20);
      return;
    }
    if (!seen) Log("timeout waiting for " + step.rest);
  } else if (step.verb == "wait") {
    Post(next, static_cast<unsigned>(std::max(1, std::atoi(step.rest.c_str()))));
    return;
  } else if (step.verb == "close-query") {
    core->scenario.close_query = step.rest;
  } else if (step.verb == "close") {
    Log("close-button");
    PostMessageW(TopLevel(core), WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (step.verb == "window") {
    LogWindow(core);
  } else if (step.verb == "fetch") {
    // "fetch URI [Name: value]", as a media element asks for a part of a file.
    const auto space = step.rest.find(' ');
    std::vector<Header> headers;
    if (space != std::string::npos) {
      const std::string line = step.rest.substr(space + 1);
      const auto colon = line.find(':');
      headers.emplace_back(WideFromUtf8(line.substr(0, colon)),
                           WideFromUtf8(colon == std::string::npos ? "" : line.substr(colon + 2)));
    }
    Fetch(
        core, Resolve(core->source, step.rest.substr(0, space)),
        wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT_MEDIA, [next](const Served&) { Post(next); },
        std::move(headers));
    return;
  } else if (step.verb == "navigate") {
    StartNavigation(core, Resolve(core->source, step.rest), std::nullopt);
  } else if (step.verb == "new-window") {
    RequestWindow(core, core->source, step.rest);
  } else if (step.verb == "new-window-from-frame") {
    // "new-window-from-frame FRAME-ADDRESS URI": a frame of the page asks;
    // the event does not say which.
    const auto space = step.rest.find(' ');
    RequestWindow(core, step.rest.substr(0, space),
                  space == std::string::npos ? "" : step.rest.substr(space + 1));
  } else if (step.verb == "wait-file") {
    // "wait-file PATH": until something outside the page has made the file.
    const bool seen =
        GetFileAttributesW(WideFromUtf8(step.rest).c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!seen && waited_ms < 20000) {
      Post([core, steps, at, waited_ms] { RunSteps(core, steps, at, waited_ms + 20); }, 20);
      return;
    }
    if (!seen) Log("timeout waiting for " + step.rest);
  } else if (step.verb == "back" || step.verb == "forward") {
    Log("history " + step.verb);
    if (step.verb == "back" && !core->history.empty() && core->at > 0) {
      Revisit(core, core->at - 1);
    } else if (step.verb == "forward" && core->at + 1 < core->history.size()) {
      Revisit(core, core->at + 1);
    }
  } else if (step.verb == "permission") {
    // "permission KIND URI"
    const auto space = step.rest.find(' ');
    const auto kind = static_cast<wv::COREWEBVIEW2_PERMISSION_KIND>(std::atoi(step.rest.c_str()));
    const std::string uri = space == std::string::npos ? core->source : step.rest.substr(space + 1);
    auto args = Ref<PermissionArgs>::Adopt(new PermissionArgs(WideFromUtf8(uri), kind));
    auto report = [args, uri, kind] {
      Log("permission " + uri + " kind=" + std::to_string(kind) +
          " state=" + std::to_string(args->state()));
    };
    args->deferrable.resume = report;
    core->permission_requested.Raise(static_cast<wv::ICoreWebView2*>(nullptr), args.Get());
    if (args->deferrable.taken == 0) {
      args->deferrable.sealed = true;
      args->deferrable.resume = nullptr;
      report();
    }
  } else if (step.verb == "dialog") {
    // "dialog KIND MESSAGE[|DEFAULT]"
    const auto space = step.rest.find(' ');
    const std::string text = space == std::string::npos ? "" : step.rest.substr(space + 1);
    const auto bar = text.find('|');
    if (const auto kind = DialogKind(step.rest.substr(0, space))) {
      OpenDialog(core, *kind, text.substr(0, bar),
                 bar == std::string::npos ? "" : text.substr(bar + 1), [](const std::string&) {});
    } else {
      Fault("unknown dialog " + step.rest);
    }
  } else if (step.verb == "key") {
    // "key KIND VK [LPARAM]", numbers as C writes them
    std::istringstream in(step.rest);
    std::string kind, key, lparam;
    in >> kind >> key >> lparam;
    const auto event = static_cast<wv::COREWEBVIEW2_KEY_EVENT_KIND>(std::stoi(kind));
    const auto code = static_cast<UINT>(std::stoul(key, nullptr, 0));
    PressKey(
        core, event, code,
        lparam.empty() ? KeyLParam(event, code) : static_cast<INT>(std::stoul(lparam, nullptr, 0)));
  } else if (step.verb == "focus") {
    Log("focus " + step.rest);
    if (!core->closed && step.rest == "got") {
      core->got_focus.Raise(static_cast<wv::ICoreWebView2Controller*>(nullptr),
                            static_cast<IUnknown*>(nullptr));
    } else if (!core->closed) {
      core->lost_focus.Raise(static_cast<wv::ICoreWebView2Controller*>(nullptr),
                             static_cast<IUnknown*>(nullptr));
    }
  } else if (step.verb == "move-focus") {
    RequestFocusMove(core, static_cast<wv::COREWEBVIEW2_MOVE_FOCUS_REASON>(std::stoi(step.rest)));
  } else if (step.verb == "process-failed") {
    FailProcess(core, static_cast<wv::COREWEBVIEW2_PROCESS_FAILED_KIND>(std::stoi(step.rest)));
  } else if (step.verb == "download") {
    if (!core->closed && core->web_view != nullptr) {
      StartDownload(core.get(), core->web_view, core->source, step.rest);
    }
  } else if (step.verb == "log") {
    Log("note " + step.rest);
  } else {
    Fault("unknown scenario step " + step.verb);
  }
  Post(next);
}

// The view made last, for the tests that drive the stand-in in-process.
std::weak_ptr<Core>& LatestCore() {
  static std::weak_ptr<Core> core;
  return core;
}

void PlayScenario(const std::shared_ptr<Core>& core) {
  auto& pages = core->scenario.pages;
  core->played.resize(pages.size(), false);
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (core->played[i] || !platform::WildcardMatch(pages[i].first, core->source)) continue;
    core->played[i] = true;
    RunSteps(core, std::make_shared<std::vector<Step>>(pages[i].second), 0, 0);
    return;
  }
}

// --- the environment -------------------------------------------------------------------

class Environment final : public Object<wv::ICoreWebView2Environment> {
 public:
  Environment() : Object("Environment") {}

  ::HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
      HWND parent,
      wv::ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
    STANDIN_ON_OWNER_THREAD();
    if (handler == nullptr) return E_POINTER;
    if (parent == nullptr || !IsWindow(parent)) return E_INVALIDARG;
    auto keep = Ref<wv::ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>::Borrow(handler);
    auto self = Ref<wv::ICoreWebView2Environment>::Borrow(this);
    Post([keep, self, parent] {
      auto core = std::make_shared<Core>();
      core->parent = parent;
      core->environment = self;
      core->scenario = LoadScenario();
      LatestCore() = core;
      auto controller = Ref<Controller>::Adopt(new Controller(core));
      Log("controller");
      keep->Invoke(S_OK, controller.Get());
    });
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE
  CreateWebResourceResponse(IStream* content, int status, LPCWSTR reason, LPCWSTR headers,
                            wv::ICoreWebView2WebResourceResponse** response) override {
    STANDIN_ON_OWNER_THREAD();
    if (response == nullptr) return E_POINTER;
    std::vector<Header> parsed;
    for (const auto& [name, value] : platform::ParseHeaderLines(Utf8FromWide(Wide(headers)))) {
      parsed.emplace_back(WideFromUtf8(name), WideFromUtf8(value));
    }
    *response =
        new Response(Ref<IStream>::Borrow(content), status, Wide(reason), std::move(parsed));
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* version) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(kVersion, version);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_NewBrowserVersionAvailable(wv::ICoreWebView2NewBrowserVersionAvailableEventHandler* handler,
                                 ::EventRegistrationToken* token) override {
    STANDIN_ON_OWNER_THREAD();
    return handlers_.Add(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_NewBrowserVersionAvailable(::EventRegistrationToken token) override {
    STANDIN_ON_OWNER_THREAD();
    return handlers_.Remove(token);
  }

 private:
  Handlers<wv::ICoreWebView2NewBrowserVersionAvailableEventHandler> handlers_;
};

}  // namespace
}  // namespace tessel::standin

extern "C" {

// For the tests that drive the stand-in in-process: plays one scenario step
// ("key 0 0x74", "dialog confirm Sure?") on the view made last, later, from
// the message loop. FALSE when there is no open view.
__declspec(dllexport) BOOL TesselStandinPlay(const char* step) {
  using namespace tessel::standin;
  const auto core = LatestCore().lock();
  if (step == nullptr || !core || core->closed || WrongThread()) return FALSE;
  const std::string line = step;
  const auto space = line.find(' ');
  auto steps = std::make_shared<std::vector<Step>>(std::vector<Step>{
      {line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)}});
  Post([core, steps] { RunSteps(core, steps, 0, 0); });
  return TRUE;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE
    GetAvailableCoreWebView2BrowserVersionString(PCWSTR /*browser_folder*/, LPWSTR* version) {
  if (version == nullptr) return E_POINTER;
  *version = nullptr;
  if (tessel::standin::EngineHidden()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  // Any thread may ask, before any engine exists; the string is counted all
  // the same.
  tessel::standin::StartCounting();
  *version = tessel::standin::HandOut(tessel::standin::kVersion);
  return *version != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Left out of a second build: a library that answers the version query but
// cannot create an engine.
#ifndef TESSEL_STANDIN_VERSION_ONLY
__declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR /*browser_folder*/, PCWSTR user_data_folder,
    tessel::webview2::ICoreWebView2EnvironmentOptions* /*options*/,
    tessel::webview2::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  using namespace tessel::standin;
  if (handler == nullptr) return E_POINTER;
  if (EngineHidden()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  APTTYPE type{};
  APTTYPEQUALIFIER qualifier{};
  const HRESULT apartment = CoGetApartmentType(&type, &qualifier);
  if (apartment == CO_E_NOTINITIALIZED) {
    Fault("no apartment: CreateCoreWebView2EnvironmentWithOptions (CO_E_NOTINITIALIZED)");
    return CO_E_NOTINITIALIZED;
  }
  if (FAILED(apartment) || (type != APTTYPE_STA && type != APTTYPE_MAINSTA)) {
    Fault(
        "not a single-threaded apartment: CreateCoreWebView2EnvironmentWithOptions "
        "(RPC_E_CHANGED_MODE)");
    return RPC_E_CHANGED_MODE;
  }
  if (OwnerThread() != 0 && WrongThread() &&
      WrongThreadFault("CreateCoreWebView2EnvironmentWithOptions")) {
    return RPC_E_WRONG_THREAD;
  }
  SetOwnerThread(GetCurrentThreadId());
  if (!StartQueue()) return E_FAIL;
  Log("environment user-data=" +
      tessel::platform::Utf8FromWide(user_data_folder == nullptr ? L"" : user_data_folder));
  auto keep =
      Ref<tessel::webview2::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>::Borrow(
          handler);
  Post([keep] {
    auto environment = Ref<Environment>::Adopt(new Environment);
    keep->Invoke(S_OK, environment.Get());
  });
  return S_OK;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2Environment(
    tessel::webview2::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  return CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, handler);
}
#endif

}  // extern "C"
