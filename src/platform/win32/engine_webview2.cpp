// The engine seam over WebView2. Each seam object holds one COM interface and
// forwards its calls; strings turn UTF-16 only here. What the seam promises
// beyond the engine (no events after Close, every completion exactly once,
// never inside the call, no exception into the engine) is enforced here, so
// it holds whatever the engine does.
#include "platform/win32/engine_webview2.h"

#include <windows.h>
// windows.h first: the COM headers rely on its types.
#include <objbase.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/engine_basics.h"
#include "platform/ui_dispatch.h"
#include "platform/win32/com_ref.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

namespace wv = webview2;

// --- COM plumbing -----------------------------------------------------------

// An [out] string: copied, then freed as the COM rule says.
class OutString {
 public:
  OutString() = default;
  OutString(const OutString&) = delete;
  OutString& operator=(const OutString&) = delete;
  ~OutString() { CoTaskMemFree(text_); }
  LPWSTR* Put() { return &text_; }
  std::string Utf8() const { return Utf8FromWide(text_); }

 private:
  LPWSTR text_ = nullptr;
};

// Seam text into a call: a NUL inside would cut the text short at the engine,
// so such text is refused rather than silently changed.
bool ToWide(const std::string& text, std::wstring* wide) {
  if (text.find('\0') != std::string::npos) return false;
  *wide = WideFromUtf8(text);
  return true;
}

HRESULT Result(::HRESULT hr) { return static_cast<HRESULT>(hr); }

// Reads a string getter of a COM object into `out`.
template <typename Getter>
HRESULT ReadString(Getter&& getter, std::string* out) {
  if (out == nullptr) return kEPointer;
  OutString text;
  const HRESULT hr = Result(getter(text.Put()));
  if (Succeeded(hr)) *out = text.Utf8();
  return hr;
}

template <typename Getter>
HRESULT ReadBool(Getter&& getter, bool* out) {
  if (out == nullptr) return kEPointer;
  BOOL value = FALSE;
  const HRESULT hr = Result(getter(&value));
  if (Succeeded(hr)) *out = value != FALSE;
  return hr;
}

// Every event and completion handler: one Invoke, references counted, and
// nothing thrown back into the engine.
template <typename Interface, typename... Args>
class Handler final : public Interface {
 public:
  explicit Handler(std::function<void(Args...)> body) : body_(std::move(body)) {}
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, wv::InterfaceId<Interface>::value)) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  ::HRESULT STDMETHODCALLTYPE Invoke(Args... args) override {
    try {
      body_(args...);
    } catch (...) {
      // The engine must never see an exception.
    }
    return S_OK;
  }

 private:
  ~Handler() = default;
  std::function<void(Args...)> body_;
  std::atomic<ULONG> references_{1};
};

// A new handler with its one reference owned by the returned ComRef.
template <typename Interface, typename... Args>
ComRef<Interface> MakeHandler(std::type_identity_t<std::function<void(Args...)>> body) {
  return ComRef<Interface>::Adopt(new Handler<Interface, Args...>(std::move(body)));
}

// --- streams ------------------------------------------------------------------

// A seam stream seen by the engine. The engine may read a response body on a
// thread of its own; the seam allows any thread, one at a time.
class ComStream final : public IStream {
 public:
  explicit ComStream(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}
  ComStream(const ComStream&) = delete;
  ComStream& operator=(const ComStream&) = delete;

  const std::shared_ptr<Stream>& seam() const { return stream_; }

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) ||
        IsEqualIID(iid, IID_IStream)) {
      *object = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  ::HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
    if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
    const std::lock_guard lock(mutex_);
    std::uint32_t count = 0;
    const HRESULT hr = Guard([&] { return stream_->Read(buffer, size, &count); });
    if (read != nullptr) *read = Succeeded(hr) ? count : 0;
    return hr;
  }
  ::HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* written) override {
    if (data == nullptr && size != 0) return STG_E_INVALIDPOINTER;
    const std::lock_guard lock(mutex_);
    std::uint32_t count = 0;
    const HRESULT hr = Guard([&] { return stream_->Write(data, size, &count); });
    if (written != nullptr) *written = Succeeded(hr) ? count : 0;
    return hr;
  }
  ::HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override {
    if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
    const std::lock_guard lock(mutex_);
    std::uint64_t at = 0;
    const HRESULT hr =
        Guard([&] { return stream_->Seek(move.QuadPart, static_cast<StreamSeek>(origin), &at); });
    if (position != nullptr && Succeeded(hr)) position->QuadPart = at;
    return hr;
  }
  ::HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    const std::lock_guard lock(mutex_);
    return Guard([&] { return stream_->SetSize(size.QuadPart); });
  }
  ::HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD /*flags*/) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    const std::lock_guard lock(mutex_);
    std::uint64_t here = 0;
    std::uint64_t end = 0;
    HRESULT hr = Guard([&] { return stream_->Seek(0, StreamSeek::kCurrent, &here); });
    if (Succeeded(hr)) hr = Guard([&] { return stream_->Seek(0, StreamSeek::kEnd, &end); });
    if (Succeeded(hr)) {
      hr = Guard([&] {
        return stream_->Seek(static_cast<std::int64_t>(here), StreamSeek::kBegin, nullptr);
      });
    }
    if (Failed(hr)) return hr;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = end;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  ::HRESULT STDMETHODCALLTYPE Commit(DWORD /*flags*/) override { return S_OK; }
  ::HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  ::HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  ::HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  ::HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override {
    if (clone != nullptr) *clone = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~ComStream() = default;

  template <typename Call>
  static ::HRESULT Guard(Call&& call) {
    try {
      return call();
    } catch (...) {
      return E_FAIL;
    }
  }

  std::shared_ptr<Stream> stream_;
  std::mutex mutex_;
  std::atomic<ULONG> references_{1};
};

// An engine stream seen by the runtime.
class SeamStream final : public Stream {
 public:
  explicit SeamStream(ComRef<IStream> stream) : stream_(std::move(stream)) {}
  IStream* com() const { return stream_.Get(); }

  HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) override {
    ULONG count = 0;
    const HRESULT hr = Result(stream_->Read(buffer, size, &count));
    if (read != nullptr) *read = count;
    return hr;
  }
  HRESULT Write(const void* data, std::uint32_t size, std::uint32_t* written) override {
    ULONG count = 0;
    const HRESULT hr = Result(stream_->Write(data, size, &count));
    if (written != nullptr) *written = count;
    return hr;
  }
  HRESULT Seek(std::int64_t move, StreamSeek origin, std::uint64_t* position) override {
    LARGE_INTEGER distance;
    distance.QuadPart = move;
    ULARGE_INTEGER at{};
    const HRESULT hr = Result(stream_->Seek(distance, static_cast<DWORD>(origin), &at));
    if (position != nullptr && Succeeded(hr)) *position = at.QuadPart;
    return hr;
  }
  HRESULT SetSize(std::uint64_t size) override {
    ULARGE_INTEGER value;
    value.QuadPart = size;
    return Result(stream_->SetSize(value));
  }

 private:
  ComRef<IStream> stream_;
};

// The engine's view of a seam stream, without wrapping twice.
ComRef<IStream> ToComStream(const std::shared_ptr<Stream>& stream) {
  if (!stream) return {};
  if (auto* seam = dynamic_cast<SeamStream*>(stream.get()))
    return ComRef<IStream>::Borrow(seam->com());
  return ComRef<IStream>::Adopt(new ComStream(stream));
}

std::shared_ptr<Stream> ToSeamStream(ComRef<IStream> stream) {
  if (!stream) return nullptr;
  return std::make_shared<SeamStream>(std::move(stream));
}

// --- headers, requests, responses ------------------------------------------------

HRESULT ReadHeaders(wv::ICoreWebView2HttpHeadersCollectionIterator* iterator,
                    std::vector<HttpHeader>* headers) {
  std::vector<HttpHeader> result;
  BOOL has = FALSE;
  HRESULT hr = Result(iterator->get_HasCurrentHeader(&has));
  while (Succeeded(hr) && has) {
    OutString name;
    OutString value;
    hr = Result(iterator->GetCurrentHeader(name.Put(), value.Put()));
    if (Failed(hr)) break;
    result.emplace_back(name.Utf8(), value.Utf8());
    hr = Result(iterator->MoveNext(&has));
  }
  if (Succeeded(hr)) *headers = std::move(result);
  return hr;
}

template <typename Headers>
HRESULT HeadersNamed(Headers* com, const std::string& name, std::vector<HttpHeader>* headers) {
  if (headers == nullptr) return kEPointer;
  std::wstring wide;
  if (!ToWide(name, &wide)) return kEInvalidArg;
  ComRef<wv::ICoreWebView2HttpHeadersCollectionIterator> iterator;
  const HRESULT hr = Result(com->GetHeaders(wide.c_str(), iterator.Put()));
  if (Failed(hr)) return hr;
  return iterator ? ReadHeaders(iterator.Get(), headers) : kEFail;
}

template <typename Headers>
HRESULT AllHeaders(Headers* com, std::vector<HttpHeader>* headers) {
  if (headers == nullptr) return kEPointer;
  ComRef<wv::ICoreWebView2HttpHeadersCollectionIterator> iterator;
  const HRESULT hr = Result(com->GetIterator(iterator.Put()));
  if (Failed(hr)) return hr;
  return iterator ? ReadHeaders(iterator.Get(), headers) : kEFail;
}

template <typename Headers>
HRESULT HeaderContains(Headers* com, const std::string& name, bool* contains) {
  std::wstring wide;
  if (!ToWide(name, &wide)) return kEInvalidArg;
  return ReadBool([&](BOOL* value) { return com->Contains(wide.c_str(), value); }, contains);
}

class RequestHeaders final : public HttpRequestHeaders {
 public:
  explicit RequestHeaders(ComRef<wv::ICoreWebView2HttpRequestHeaders> com) : com_(std::move(com)) {}

  HRESULT GetHeader(const std::string& name, std::string* value) override {
    std::wstring wide;
    if (!ToWide(name, &wide)) return kEInvalidArg;
    return ReadString([&](LPWSTR* text) { return com_->GetHeader(wide.c_str(), text); }, value);
  }
  HRESULT GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) override {
    return HeadersNamed(com_.Get(), name, headers);
  }
  HRESULT Contains(const std::string& name, bool* contains) override {
    return HeaderContains(com_.Get(), name, contains);
  }
  HRESULT SetHeader(const std::string& name, const std::string& value) override {
    std::wstring wide_name;
    std::wstring wide_value;
    if (!ToWide(name, &wide_name) || !ToWide(value, &wide_value)) return kEInvalidArg;
    return Result(com_->SetHeader(wide_name.c_str(), wide_value.c_str()));
  }
  HRESULT RemoveHeader(const std::string& name) override {
    std::wstring wide;
    if (!ToWide(name, &wide)) return kEInvalidArg;
    return Result(com_->RemoveHeader(wide.c_str()));
  }
  HRESULT GetIterator(std::vector<HttpHeader>* headers) override {
    return AllHeaders(com_.Get(), headers);
  }

 private:
  ComRef<wv::ICoreWebView2HttpRequestHeaders> com_;
};

class ResponseHeaders final : public HttpResponseHeaders {
 public:
  explicit ResponseHeaders(ComRef<wv::ICoreWebView2HttpResponseHeaders> com)
      : com_(std::move(com)) {}

  HRESULT AppendHeader(const std::string& name, const std::string& value) override {
    std::wstring wide_name;
    std::wstring wide_value;
    if (!ToWide(name, &wide_name) || !ToWide(value, &wide_value)) return kEInvalidArg;
    return Result(com_->AppendHeader(wide_name.c_str(), wide_value.c_str()));
  }
  HRESULT Contains(const std::string& name, bool* contains) override {
    return HeaderContains(com_.Get(), name, contains);
  }
  // The seam joins repeated values; the engine's own GetHeader need not.
  HRESULT GetHeader(const std::string& name, std::string* value) override {
    if (value == nullptr) return kEPointer;
    std::vector<HttpHeader> headers;
    const HRESULT hr = GetHeaders(name, &headers);
    if (Failed(hr)) return hr;
    if (headers.empty()) return kEInvalidArg;
    std::string joined;
    for (const auto& header : headers) {
      if (!joined.empty()) joined += ", ";
      joined += header.second;
    }
    *value = std::move(joined);
    return kSOk;
  }
  HRESULT GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) override {
    return HeadersNamed(com_.Get(), name, headers);
  }
  HRESULT GetIterator(std::vector<HttpHeader>* headers) override {
    return AllHeaders(com_.Get(), headers);
  }

 private:
  ComRef<wv::ICoreWebView2HttpResponseHeaders> com_;
};

class Request final : public WebResourceRequest {
 public:
  explicit Request(ComRef<wv::ICoreWebView2WebResourceRequest> com) : com_(std::move(com)) {}

  HRESULT get_Uri(std::string* uri) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Uri(text); }, uri);
  }
  HRESULT put_Uri(const std::string& uri) override {
    std::wstring wide;
    if (!ToWide(uri, &wide)) return kEInvalidArg;
    return Result(com_->put_Uri(wide.c_str()));
  }
  HRESULT get_Method(std::string* method) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Method(text); }, method);
  }
  HRESULT put_Method(const std::string& method) override {
    std::wstring wide;
    if (!ToWide(method, &wide)) return kEInvalidArg;
    return Result(com_->put_Method(wide.c_str()));
  }
  HRESULT get_Content(std::shared_ptr<Stream>* content) override {
    if (content == nullptr) return kEPointer;
    ComRef<IStream> stream;
    const HRESULT hr = Result(com_->get_Content(stream.Put()));
    if (Succeeded(hr)) *content = ToSeamStream(std::move(stream));
    return hr;
  }
  HRESULT put_Content(std::shared_ptr<Stream> content) override {
    return Result(com_->put_Content(ToComStream(content).Get()));
  }
  HRESULT get_Headers(std::shared_ptr<HttpRequestHeaders>* headers) override {
    if (headers == nullptr) return kEPointer;
    ComRef<wv::ICoreWebView2HttpRequestHeaders> com;
    const HRESULT hr = Result(com_->get_Headers(com.Put()));
    if (Failed(hr)) return hr;
    if (!com) return kEFail;
    *headers = std::make_shared<RequestHeaders>(std::move(com));
    return kSOk;
  }

 private:
  ComRef<wv::ICoreWebView2WebResourceRequest> com_;
};

class Response final : public WebResourceResponse {
 public:
  explicit Response(ComRef<wv::ICoreWebView2WebResourceResponse> com) : com_(std::move(com)) {}
  wv::ICoreWebView2WebResourceResponse* com() const { return com_.Get(); }

  HRESULT get_Content(std::shared_ptr<Stream>* content) override {
    if (content == nullptr) return kEPointer;
    ComRef<IStream> stream;
    const HRESULT hr = Result(com_->get_Content(stream.Put()));
    if (Succeeded(hr)) *content = ToSeamStream(std::move(stream));
    return hr;
  }
  HRESULT put_Content(std::shared_ptr<Stream> content) override {
    return Result(com_->put_Content(ToComStream(content).Get()));
  }
  HRESULT get_Headers(std::shared_ptr<HttpResponseHeaders>* headers) override {
    if (headers == nullptr) return kEPointer;
    ComRef<wv::ICoreWebView2HttpResponseHeaders> com;
    const HRESULT hr = Result(com_->get_Headers(com.Put()));
    if (Failed(hr)) return hr;
    if (!com) return kEFail;
    *headers = std::make_shared<ResponseHeaders>(std::move(com));
    return kSOk;
  }
  HRESULT get_StatusCode(int* status_code) override {
    if (status_code == nullptr) return kEPointer;
    return Result(com_->get_StatusCode(status_code));
  }
  HRESULT put_StatusCode(int status_code) override {
    return Result(com_->put_StatusCode(status_code));
  }
  HRESULT get_ReasonPhrase(std::string* reason) override {
    return ReadString([&](LPWSTR* text) { return com_->get_ReasonPhrase(text); }, reason);
  }
  HRESULT put_ReasonPhrase(const std::string& reason) override {
    std::wstring wide;
    if (!ToWide(reason, &wide)) return kEInvalidArg;
    return Result(com_->put_ReasonPhrase(wide.c_str()));
  }

 private:
  ComRef<wv::ICoreWebView2WebResourceResponse> com_;
};

HRESULT MakeResponse(wv::ICoreWebView2Environment* environment,
                     const std::shared_ptr<Stream>& content, int status_code,
                     const std::string& reason_phrase, const std::string& headers,
                     std::shared_ptr<WebResourceResponse>* response) {
  if (response == nullptr) return kEPointer;
  if (status_code < 100 || status_code > 999) return kEInvalidArg;
  // One header per line whichever line ends the caller used.
  std::string lines;
  for (const auto& [name, value] : ParseHeaderLines(headers)) {
    if (!lines.empty()) lines += "\r\n";
    lines += name + ": " + value;
  }
  std::wstring wide_reason;
  std::wstring wide_headers;
  if (!ToWide(reason_phrase, &wide_reason) || !ToWide(lines, &wide_headers)) return kEInvalidArg;
  ComRef<wv::ICoreWebView2WebResourceResponse> com;
  const HRESULT hr = Result(
      environment->CreateWebResourceResponse(ToComStream(content).Get(), status_code,
                                             wide_reason.c_str(), wide_headers.c_str(), com.Put()));
  if (Failed(hr)) return hr;
  if (!com) return kEFail;
  *response = std::make_shared<Response>(std::move(com));
  return kSOk;
}

// --- documents ---------------------------------------------------------------------

// The view's top-level documents, numbered here: WebView2 names none. Its
// ContentLoading comes once for each document that becomes the top-level one
// (back and forward included), and WebMessageReceived only carries messages
// of the top-level document, so "the document shown since the last
// ContentLoading" is as exact as the engine lets anyone be. What it cannot
// tell is the gap around a commit: once the engine has committed the next
// document and before its ContentLoading reaches us, a reply for the old
// one is still posted and lands in the new one, and a message the old one
// sent just before may arrive after that ContentLoading and count as the
// new one's. Frames are not told apart at all: a new window's request names
// no frame, so the host wants the document to announce its windows. Windows
// the engine opens by itself are views of their own, whose messages never
// reach this one.
class Documents {
 public:
  // The id of the document whose ContentLoading `args` announce: new the
  // first time these arguments are seen, whichever handler sees them first.
  // The arguments are held, so a later event's cannot reuse their address.
  std::uint64_t Loading(wv::ICoreWebView2ContentLoadingEventArgs* args) {
    if (args != loading_.Get()) {
      ++current_;
      loading_ = ComRef<wv::ICoreWebView2ContentLoadingEventArgs>::Borrow(args);
    }
    return current_;
  }
  std::uint64_t current() const { return current_; }
  void Release() { loading_.Reset(); }

 private:
  // The view's first document, which no ContentLoading announces, is 1.
  std::uint64_t current_ = 1;
  ComRef<wv::ICoreWebView2ContentLoadingEventArgs> loading_;
};

// --- event arguments ---------------------------------------------------------------

class NavigationStartingArgs final : public NavigationStartingEventArgs {
 public:
  explicit NavigationStartingArgs(ComRef<wv::ICoreWebView2NavigationStartingEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_Uri(std::string* uri) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Uri(text); }, uri);
  }
  HRESULT get_IsUserInitiated(bool* value) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsUserInitiated(out); }, value);
  }
  HRESULT get_IsRedirected(bool* value) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsRedirected(out); }, value);
  }
  HRESULT get_RequestHeaders(std::shared_ptr<HttpRequestHeaders>* headers) override {
    if (headers == nullptr) return kEPointer;
    ComRef<wv::ICoreWebView2HttpRequestHeaders> com;
    const HRESULT hr = Result(com_->get_RequestHeaders(com.Put()));
    if (Failed(hr)) return hr;
    if (!com) return kEFail;
    *headers = std::make_shared<RequestHeaders>(std::move(com));
    return kSOk;
  }
  HRESULT get_Cancel(bool* cancel) override {
    return ReadBool([&](BOOL* out) { return com_->get_Cancel(out); }, cancel);
  }
  HRESULT put_Cancel(bool cancel) override {
    return Result(com_->put_Cancel(cancel ? TRUE : FALSE));
  }
  HRESULT get_NavigationId(std::uint64_t* id) override {
    if (id == nullptr) return kEPointer;
    UINT64 value = 0;
    const HRESULT hr = Result(com_->get_NavigationId(&value));
    if (Succeeded(hr)) *id = value;
    return hr;
  }

 private:
  ComRef<wv::ICoreWebView2NavigationStartingEventArgs> com_;
};

class NavigationCompletedArgs final : public NavigationCompletedEventArgs {
 public:
  explicit NavigationCompletedArgs(ComRef<wv::ICoreWebView2NavigationCompletedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_IsSuccess(bool* success) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsSuccess(out); }, success);
  }
  HRESULT get_WebErrorStatus(WebErrorStatus* status) override {
    if (status == nullptr) return kEPointer;
    wv::COREWEBVIEW2_WEB_ERROR_STATUS value{};
    const HRESULT hr = Result(com_->get_WebErrorStatus(&value));
    if (Succeeded(hr)) *status = static_cast<WebErrorStatus>(value);
    return hr;
  }
  HRESULT get_NavigationId(std::uint64_t* id) override {
    if (id == nullptr) return kEPointer;
    UINT64 value = 0;
    const HRESULT hr = Result(com_->get_NavigationId(&value));
    if (Succeeded(hr)) *id = value;
    return hr;
  }

 private:
  ComRef<wv::ICoreWebView2NavigationCompletedEventArgs> com_;
};

class ContentLoadingArgs final : public ContentLoadingEventArgs {
 public:
  ContentLoadingArgs(ComRef<wv::ICoreWebView2ContentLoadingEventArgs> com, Documents& documents)
      : com_(std::move(com)), document_(documents.Loading(com_.Get())) {}
  HRESULT get_IsErrorPage(bool* error_page) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsErrorPage(out); }, error_page);
  }
  HRESULT get_NavigationId(std::uint64_t* id) override {
    if (id == nullptr) return kEPointer;
    UINT64 value = 0;
    const HRESULT hr = Result(com_->get_NavigationId(&value));
    if (Succeeded(hr)) *id = value;
    return hr;
  }
  HRESULT get_DocumentId(std::uint64_t* id) override {
    if (id == nullptr) return kEPointer;
    *id = document_;
    return kSOk;
  }

 private:
  ComRef<wv::ICoreWebView2ContentLoadingEventArgs> com_;
  std::uint64_t document_;
};

class SourceChangedArgs final : public SourceChangedEventArgs {
 public:
  explicit SourceChangedArgs(ComRef<wv::ICoreWebView2SourceChangedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_IsNewDocument(bool* new_document) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsNewDocument(out); }, new_document);
  }

 private:
  ComRef<wv::ICoreWebView2SourceChangedEventArgs> com_;
};

class NewWindowRequestedArgs final : public NewWindowRequestedEventArgs {
 public:
  explicit NewWindowRequestedArgs(ComRef<wv::ICoreWebView2NewWindowRequestedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_Uri(std::string* uri) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Uri(text); }, uri);
  }
  HRESULT put_Handled(bool handled) override {
    return Result(com_->put_Handled(handled ? TRUE : FALSE));
  }
  HRESULT get_Handled(bool* handled) override {
    return ReadBool([&](BOOL* out) { return com_->get_Handled(out); }, handled);
  }
  HRESULT get_IsUserInitiated(bool* value) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsUserInitiated(out); }, value);
  }

 private:
  ComRef<wv::ICoreWebView2NewWindowRequestedEventArgs> com_;
};

class WebResourceRequestedArgs final : public WebResourceRequestedEventArgs {
 public:
  WebResourceRequestedArgs(ComRef<wv::ICoreWebView2WebResourceRequestedEventArgs> com,
                           ComRef<wv::ICoreWebView2Environment> environment)
      : com_(std::move(com)), environment_(std::move(environment)) {}
  HRESULT get_Request(std::shared_ptr<WebResourceRequest>* request) override {
    if (request == nullptr) return kEPointer;
    ComRef<wv::ICoreWebView2WebResourceRequest> com;
    const HRESULT hr = Result(com_->get_Request(com.Put()));
    if (Failed(hr)) return hr;
    if (!com) return kEFail;
    *request = std::make_shared<Request>(std::move(com));
    return kSOk;
  }
  HRESULT get_Response(std::shared_ptr<WebResourceResponse>* response) override {
    if (response == nullptr) return kEPointer;
    ComRef<wv::ICoreWebView2WebResourceResponse> com;
    const HRESULT hr = Result(com_->get_Response(com.Put()));
    if (Failed(hr)) return hr;
    *response = com ? std::make_shared<Response>(std::move(com)) : nullptr;
    return kSOk;
  }
  HRESULT put_Response(std::shared_ptr<WebResourceResponse> response) override {
    if (!response) return Result(com_->put_Response(nullptr));
    if (auto* own = dynamic_cast<Response*>(response.get())) {
      return Result(com_->put_Response(own->com()));
    }
    // A response made elsewhere: copied into one of the engine's.
    std::shared_ptr<Stream> content;
    int status = 0;
    std::string reason;
    std::shared_ptr<HttpResponseHeaders> headers;
    std::vector<HttpHeader> lines;
    HRESULT hr = response->get_Content(&content);
    if (Succeeded(hr)) hr = response->get_StatusCode(&status);
    if (Succeeded(hr)) hr = response->get_ReasonPhrase(&reason);
    if (Succeeded(hr)) hr = response->get_Headers(&headers);
    if (Succeeded(hr) && headers) hr = headers->GetIterator(&lines);
    if (Failed(hr)) return hr;
    std::string text;
    for (const auto& [name, value] : lines) text += name + ": " + value + "\n";
    std::shared_ptr<WebResourceResponse> copy;
    hr = MakeResponse(environment_.Get(), content, status, reason, text, &copy);
    if (Failed(hr)) return hr;
    return Result(com_->put_Response(static_cast<Response*>(copy.get())->com()));
  }
  HRESULT get_ResourceContext(WebResourceContext* context) override {
    if (context == nullptr) return kEPointer;
    wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT value{};
    const HRESULT hr = Result(com_->get_ResourceContext(&value));
    if (Succeeded(hr)) *context = static_cast<WebResourceContext>(value);
    return hr;
  }

 private:
  ComRef<wv::ICoreWebView2WebResourceRequestedEventArgs> com_;
  ComRef<wv::ICoreWebView2Environment> environment_;
};

class ScriptDialogOpeningArgs final : public ScriptDialogOpeningEventArgs {
 public:
  explicit ScriptDialogOpeningArgs(ComRef<wv::ICoreWebView2ScriptDialogOpeningEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_Uri(std::string* uri) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Uri(text); }, uri);
  }
  HRESULT get_Kind(ScriptDialogKind* kind) override {
    if (kind == nullptr) return kEPointer;
    wv::COREWEBVIEW2_SCRIPT_DIALOG_KIND value{};
    const HRESULT hr = Result(com_->get_Kind(&value));
    if (Succeeded(hr)) *kind = static_cast<ScriptDialogKind>(value);
    return hr;
  }
  HRESULT get_Message(std::string* message) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Message(text); }, message);
  }
  HRESULT Accept() override { return Result(com_->Accept()); }
  HRESULT get_DefaultText(std::string* text) override {
    return ReadString([&](LPWSTR* out) { return com_->get_DefaultText(out); }, text);
  }
  HRESULT get_ResultText(std::string* text) override {
    return ReadString([&](LPWSTR* out) { return com_->get_ResultText(out); }, text);
  }
  HRESULT put_ResultText(const std::string& text) override {
    std::wstring wide;
    if (!ToWide(text, &wide)) return kEInvalidArg;
    return Result(com_->put_ResultText(wide.c_str()));
  }

 private:
  ComRef<wv::ICoreWebView2ScriptDialogOpeningEventArgs> com_;
};

class PermissionRequestedArgs final : public PermissionRequestedEventArgs {
 public:
  explicit PermissionRequestedArgs(ComRef<wv::ICoreWebView2PermissionRequestedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_Uri(std::string* uri) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Uri(text); }, uri);
  }
  HRESULT get_PermissionKind(PermissionKind* kind) override {
    if (kind == nullptr) return kEPointer;
    wv::COREWEBVIEW2_PERMISSION_KIND value{};
    const HRESULT hr = Result(com_->get_PermissionKind(&value));
    if (Succeeded(hr)) *kind = static_cast<PermissionKind>(value);
    return hr;
  }
  HRESULT get_IsUserInitiated(bool* value) override {
    return ReadBool([&](BOOL* out) { return com_->get_IsUserInitiated(out); }, value);
  }
  HRESULT get_State(PermissionState* state) override {
    if (state == nullptr) return kEPointer;
    wv::COREWEBVIEW2_PERMISSION_STATE value{};
    const HRESULT hr = Result(com_->get_State(&value));
    if (Succeeded(hr)) *state = static_cast<PermissionState>(value);
    return hr;
  }
  HRESULT put_State(PermissionState state) override {
    return Result(com_->put_State(static_cast<wv::COREWEBVIEW2_PERMISSION_STATE>(state)));
  }

 private:
  ComRef<wv::ICoreWebView2PermissionRequestedEventArgs> com_;
};

class ProcessFailedArgs final : public ProcessFailedEventArgs {
 public:
  explicit ProcessFailedArgs(ComRef<wv::ICoreWebView2ProcessFailedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_ProcessFailedKind(ProcessFailedKind* kind) override {
    if (kind == nullptr) return kEPointer;
    wv::COREWEBVIEW2_PROCESS_FAILED_KIND value{};
    const HRESULT hr = Result(com_->get_ProcessFailedKind(&value));
    if (Succeeded(hr)) *kind = static_cast<ProcessFailedKind>(value);
    return hr;
  }

 private:
  ComRef<wv::ICoreWebView2ProcessFailedEventArgs> com_;
};

class WebMessageReceivedArgs final : public WebMessageReceivedEventArgs {
 public:
  WebMessageReceivedArgs(ComRef<wv::ICoreWebView2WebMessageReceivedEventArgs> com,
                         Documents& documents)
      : com_(std::move(com)), document_(documents.current()) {}
  HRESULT get_Source(std::string* source) override {
    return ReadString([&](LPWSTR* text) { return com_->get_Source(text); }, source);
  }
  HRESULT get_DocumentId(std::uint64_t* id) override {
    if (id == nullptr) return kEPointer;
    *id = document_;
    return kSOk;
  }
  HRESULT get_WebMessageAsJson(std::string* json) override {
    return ReadString([&](LPWSTR* text) { return com_->get_WebMessageAsJson(text); }, json);
  }
  HRESULT TryGetWebMessageAsString(std::string* text) override {
    return ReadString([&](LPWSTR* out) { return com_->TryGetWebMessageAsString(out); }, text);
  }

 private:
  ComRef<wv::ICoreWebView2WebMessageReceivedEventArgs> com_;
  std::uint64_t document_;
};

class MoveFocusRequestedArgs final : public MoveFocusRequestedEventArgs {
 public:
  explicit MoveFocusRequestedArgs(ComRef<wv::ICoreWebView2MoveFocusRequestedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_Reason(MoveFocusReason* reason) override {
    if (reason == nullptr) return kEPointer;
    wv::COREWEBVIEW2_MOVE_FOCUS_REASON value{};
    const HRESULT hr = Result(com_->get_Reason(&value));
    if (Succeeded(hr)) *reason = static_cast<MoveFocusReason>(value);
    return hr;
  }
  HRESULT get_Handled(bool* handled) override {
    return ReadBool([&](BOOL* out) { return com_->get_Handled(out); }, handled);
  }
  HRESULT put_Handled(bool handled) override {
    return Result(com_->put_Handled(handled ? TRUE : FALSE));
  }

 private:
  ComRef<wv::ICoreWebView2MoveFocusRequestedEventArgs> com_;
};

class AcceleratorKeyPressedArgs final : public AcceleratorKeyPressedEventArgs {
 public:
  explicit AcceleratorKeyPressedArgs(ComRef<wv::ICoreWebView2AcceleratorKeyPressedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_KeyEventKind(KeyEventKind* kind) override {
    if (kind == nullptr) return kEPointer;
    wv::COREWEBVIEW2_KEY_EVENT_KIND value{};
    const HRESULT hr = Result(com_->get_KeyEventKind(&value));
    if (Succeeded(hr)) *kind = static_cast<KeyEventKind>(value);
    return hr;
  }
  HRESULT get_VirtualKey(std::uint32_t* key) override {
    if (key == nullptr) return kEPointer;
    UINT value = 0;
    const HRESULT hr = Result(com_->get_VirtualKey(&value));
    if (Succeeded(hr)) *key = value;
    return hr;
  }
  HRESULT get_KeyEventLParam(std::int32_t* lparam) override {
    if (lparam == nullptr) return kEPointer;
    INT value = 0;
    const HRESULT hr = Result(com_->get_KeyEventLParam(&value));
    if (Succeeded(hr)) *lparam = value;
    return hr;
  }
  HRESULT get_Handled(bool* handled) override {
    return ReadBool([&](BOOL* out) { return com_->get_Handled(out); }, handled);
  }
  HRESULT put_Handled(bool handled) override {
    return Result(com_->put_Handled(handled ? TRUE : FALSE));
  }

 private:
  ComRef<wv::ICoreWebView2AcceleratorKeyPressedEventArgs> com_;
};

class DevToolsEventArgs final : public DevToolsProtocolEventReceivedEventArgs {
 public:
  explicit DevToolsEventArgs(ComRef<wv::ICoreWebView2DevToolsProtocolEventReceivedEventArgs> com)
      : com_(std::move(com)) {}
  HRESULT get_ParameterObjectAsJson(std::string* json) override {
    return ReadString([&](LPWSTR* text) { return com_->get_ParameterObjectAsJson(text); }, json);
  }

 private:
  ComRef<wv::ICoreWebView2DevToolsProtocolEventReceivedEventArgs> com_;
};

// A download's arguments while the runtime decides; once the decision is
// handed back to the engine, writes are refused here rather than reaching
// an event that is over.
class DownloadStartingArgs final : public DownloadStartingEventArgs {
 public:
  explicit DownloadStartingArgs(ComRef<wv::ICoreWebView2DownloadStartingEventArgs> com)
      : com_(std::move(com)) {}
  void Seal() { sealed_ = true; }
  HRESULT get_Uri(std::string* uri) override {
    if (uri == nullptr) return kEPointer;
    if (sealed_) return kEInvalidState;
    ComRef<wv::ICoreWebView2DownloadOperation> operation;
    const HRESULT hr = Result(com_->get_DownloadOperation(operation.Put()));
    if (Failed(hr)) return hr;
    if (!operation) return kEFail;
    return ReadString([&](LPWSTR* text) { return operation->get_Uri(text); }, uri);
  }
  HRESULT get_ResultFilePath(std::string* path) override {
    if (sealed_) return kEInvalidState;
    return ReadString([&](LPWSTR* text) { return com_->get_ResultFilePath(text); }, path);
  }
  HRESULT put_ResultFilePath(const std::string& path) override {
    if (sealed_) return kEInvalidState;
    std::wstring wide;
    if (path.empty() || !ToWide(path, &wide)) return kEInvalidArg;
    return Result(com_->put_ResultFilePath(wide.c_str()));
  }
  HRESULT get_Cancel(bool* cancel) override {
    if (sealed_) return kEInvalidState;
    return ReadBool([&](BOOL* out) { return com_->get_Cancel(out); }, cancel);
  }
  HRESULT put_Cancel(bool cancel) override {
    if (sealed_) return kEInvalidState;
    return Result(com_->put_Cancel(cancel ? TRUE : FALSE));
  }

 private:
  ComRef<wv::ICoreWebView2DownloadStartingEventArgs> com_;
  bool sealed_ = false;
};

// One download held open by its deferral until the runtime has decided. The
// engine runs no nested message loop inside its events, and the runtime's
// decision may be a modal save dialog: so the decision comes from the UI
// loop after the event has returned. Whatever ends the wait without a
// decision (the view closed, the loop gone) cancels: nothing is saved where
// nobody chose.
class PendingDownload {
 public:
  PendingDownload(ComRef<wv::ICoreWebView2DownloadStartingEventArgs> args,
                  ComRef<wv::ICoreWebView2Deferral> deferral)
      : args_(std::move(args)), deferral_(std::move(deferral)) {}
  PendingDownload(const PendingDownload&) = delete;
  PendingDownload& operator=(const PendingDownload&) = delete;
  ~PendingDownload() { Finish(true); }

  const ComRef<wv::ICoreWebView2DownloadStartingEventArgs>& args() const { return args_; }
  // Hands the decision back to the engine, once.
  void Finish(bool cancel) {
    if (!deferral_) return;
    if (cancel) args_->put_Cancel(TRUE);
    const ComRef<wv::ICoreWebView2Deferral> deferral = std::move(deferral_);
    deferral->Complete();
    args_.Reset();
  }

 private:
  ComRef<wv::ICoreWebView2DownloadStartingEventArgs> args_;
  ComRef<wv::ICoreWebView2Deferral> deferral_;
};

// --- what a controller and its web view share ------------------------------------

// Completions still owed to the runtime. The engine's handler objects keep
// their entry alive; Close settles the ones still open, so the runtime gets
// each exactly once whether or not the engine ever answers.
class Pending {
 public:
  explicit Pending(std::function<void(HRESULT)> fail) : fail_(std::move(fail)) {}
  // An engine may let go of a handler without calling it (its browser
  // process gone): the completion still comes, as a failure, from the loop.
  ~Pending() {
    if (done_ || !fail_) return;
    try {
      CurrentUiDispatcher().Post([fail = std::move(fail_)] { fail(kEAbort); });
    } catch (...) {  // nothing leaves a destructor
    }
  }
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  // True once: the caller then delivers.
  bool Claim() { return !std::exchange(done_, true); }
  void Fail(HRESULT hr) {
    if (Claim() && fail_) fail_(hr);
  }
  // While the starting call runs, an answer must wait for the message loop.
  bool in_call = true;

 private:
  bool done_ = false;
  std::function<void(HRESULT)> fail_;
};

// Delivers `deliver` now, or from the UI loop when the engine answered inside
// the call that started the work.
void Deliver(const std::shared_ptr<Pending>& pending, std::function<void()> deliver) {
  if (!pending->Claim()) return;
  if (pending->in_call) {
    CurrentUiDispatcher().Post(std::move(deliver));
  } else {
    deliver();
  }
}

struct Subscription {
  ::EventRegistrationToken engine_token;
  std::function<void(::EventRegistrationToken)> remove;
};

struct Shared {
  bool closed = false;
  std::vector<std::weak_ptr<Pending>> pending;
  std::map<EventRegistrationToken, Subscription> subscriptions;
  std::shared_ptr<void> library;
  Documents documents;

  std::shared_ptr<Pending> Track(std::function<void(HRESULT)> fail) {
    auto entry = std::make_shared<Pending>(std::move(fail));
    std::erase_if(pending, [](const std::weak_ptr<Pending>& p) { return p.expired(); });
    pending.push_back(entry);
    return entry;
  }

  HRESULT Unsubscribe(EventRegistrationToken token) {
    const auto it = subscriptions.find(token);
    if (it == subscriptions.end()) return kSOk;
    const Subscription subscription = it->second;
    subscriptions.erase(it);
    subscription.remove(subscription.engine_token);
    return kSOk;
  }

  // Close: nothing more is raised, and every open completion is failed from
  // the UI loop (never inside Close itself).
  void Shut() {
    closed = true;
    auto open = std::exchange(subscriptions, {});
    for (auto& [token, subscription] : open) subscription.remove(subscription.engine_token);
    documents.Release();
    for (auto& weak : std::exchange(pending, {})) {
      if (auto entry = weak.lock()) {
        CurrentUiDispatcher().Post([entry] { entry->Fail(kEAbort); });
      }
    }
  }
};

// The seam's arguments object for each of the engine's argument interfaces.
template <typename ComArgs>
struct SeamArgs;
#define TESSEL_WEBVIEW2_ARGS(ComArgs, Seam) \
  template <>                               \
  struct SeamArgs<wv::ComArgs> {            \
    using Type = Seam;                      \
  };
TESSEL_WEBVIEW2_ARGS(ICoreWebView2NavigationStartingEventArgs, NavigationStartingArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2NavigationCompletedEventArgs, NavigationCompletedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2ContentLoadingEventArgs, ContentLoadingArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2SourceChangedEventArgs, SourceChangedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2NewWindowRequestedEventArgs, NewWindowRequestedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2WebResourceRequestedEventArgs, WebResourceRequestedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2ScriptDialogOpeningEventArgs, ScriptDialogOpeningArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2PermissionRequestedEventArgs, PermissionRequestedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2ProcessFailedEventArgs, ProcessFailedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2WebMessageReceivedEventArgs, WebMessageReceivedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2MoveFocusRequestedEventArgs, MoveFocusRequestedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2AcceleratorKeyPressedEventArgs, AcceleratorKeyPressedArgs)
TESSEL_WEBVIEW2_ARGS(ICoreWebView2DevToolsProtocolEventReceivedEventArgs, DevToolsEventArgs)
#undef TESSEL_WEBVIEW2_ARGS
// The events that carry no arguments.
template <>
struct SeamArgs<IUnknown> {
  using Type = void;
};

// What an engine handler's Invoke takes: the sender and the arguments.
template <typename Invoke>
struct InvokeOf;
template <typename Interface, typename Sender, typename Args>
struct InvokeOf<::HRESULT (STDMETHODCALLTYPE Interface::*)(Sender*, Args*)> {
  using SenderType = Sender;
  using ArgsType = Args;
};

// Subscribes `h` to the engine event that `add` and `remove` (methods of
// `com`) stand for; the engine's handler interface, sender and arguments
// follow from `add`. Nothing is raised once the view is closed; `remove`
// takes the engine's token back when the seam's is removed or at Close.
template <typename Com, typename HandlerInterface, typename SeamHandler>
HRESULT AddEvent(const ComRef<Com>& com, const std::shared_ptr<Shared>& shared,
                 ::HRESULT (STDMETHODCALLTYPE Com::*add)(HandlerInterface*,
                                                         ::EventRegistrationToken*),
                 ::HRESULT (STDMETHODCALLTYPE Com::*remove)(::EventRegistrationToken),
                 SeamHandler h, EventRegistrationToken* token,
                 const ComRef<wv::ICoreWebView2Environment>& environment) {
  using Invoke = InvokeOf<decltype(&HandlerInterface::Invoke)>;
  using Sender = typename Invoke::SenderType;
  using Args = typename Invoke::ArgsType;
  using Seam = typename SeamArgs<Args>::Type;
  // The resource event's arguments make responses, which takes the environment.
  constexpr bool kWithEnvironment =
      std::is_constructible_v<Seam, ComRef<Args>, ComRef<wv::ICoreWebView2Environment>>;
  // Those that name the document take the view's count of documents.
  constexpr bool kWithDocuments = std::is_constructible_v<Seam, ComRef<Args>, Documents&>;
  if (token == nullptr) return kEPointer;
  if (!h) return kEInvalidArg;
  if (shared->closed) return kEInvalidState;
  std::weak_ptr<Shared> weak = shared;
  auto handler = MakeHandler<HandlerInterface, Sender*, Args*>(
      [weak, h, kept = kWithEnvironment ? environment : ComRef<wv::ICoreWebView2Environment>()](
          Sender*, Args* args) {
        const auto live = weak.lock();
        if (!live || live->closed) return;
        if constexpr (std::is_void_v<Seam>) {
          h();
        } else if (args != nullptr) {
          if constexpr (kWithEnvironment) {
            h(std::make_shared<Seam>(ComRef<Args>::Borrow(args), kept));
          } else if constexpr (kWithDocuments) {
            h(std::make_shared<Seam>(ComRef<Args>::Borrow(args), live->documents));
          } else {
            h(std::make_shared<Seam>(ComRef<Args>::Borrow(args)));
          }
        }
      });
  ::EventRegistrationToken engine_token{};
  const HRESULT hr = Result((com.Get()->*add)(handler.Get(), &engine_token));
  if (Failed(hr)) return hr;
  // The seam's token is ours, so it is unique whatever the engine hands out.
  const EventRegistrationToken ours = NextEventToken();
  shared->subscriptions[ours] = Subscription{
      engine_token, [com, remove](::EventRegistrationToken t) { (com.Get()->*remove)(t); }};
  *token = ours;
  return kSOk;
}

// --- settings ---------------------------------------------------------------------

class Settings final : public EngineSettings {
 public:
  explicit Settings(ComRef<wv::ICoreWebView2Settings> com) : com_(std::move(com)) {}

#define TESSEL_WEBVIEW2_FLAG(Name, field, initial)                              \
  HRESULT get_##Name(bool* enabled) override {                                  \
    return ReadBool([&](BOOL* out) { return com_->get_##Name(out); }, enabled); \
  }                                                                             \
  HRESULT put_##Name(bool enabled) override {                                   \
    return Result(com_->put_##Name(enabled ? TRUE : FALSE));                    \
  }
  TESSEL_ENGINE_SETTINGS(TESSEL_WEBVIEW2_FLAG)
#undef TESSEL_WEBVIEW2_FLAG

 private:
  ComRef<wv::ICoreWebView2Settings> com_;
};

// --- DevTools receiver -----------------------------------------------------------------

class DevToolsReceiver final : public DevToolsProtocolEventReceiver {
 public:
  DevToolsReceiver(ComRef<wv::ICoreWebView2DevToolsProtocolEventReceiver> com,
                   std::shared_ptr<Shared> shared)
      : com_(std::move(com)), shared_(std::move(shared)) {}

  HRESULT add_DevToolsProtocolEventReceived(DevToolsProtocolEventReceivedEventHandler h,
                                            EventRegistrationToken* token) override {
    return AddEvent(
        com_, shared_,
        &wv::ICoreWebView2DevToolsProtocolEventReceiver::add_DevToolsProtocolEventReceived,
        &wv::ICoreWebView2DevToolsProtocolEventReceiver::remove_DevToolsProtocolEventReceived,
        std::move(h), token, {});
  }
  HRESULT remove_DevToolsProtocolEventReceived(EventRegistrationToken token) override {
    return shared_->Unsubscribe(token);
  }

 private:
  ComRef<wv::ICoreWebView2DevToolsProtocolEventReceiver> com_;
  std::shared_ptr<Shared> shared_;
};

// The seam's add_X/remove_X for an object whose engine interface is `Com`.
#define TESSEL_WEBVIEW2_EVENT(Name, field, Handler)                                            \
  HRESULT add_##Name(Handler h, EventRegistrationToken* token) override {                      \
    return AddEvent(com_, shared_, &Com::add_##Name, &Com::remove_##Name, std::move(h), token, \
                    environment_);                                                             \
  }                                                                                            \
  HRESULT remove_##Name(EventRegistrationToken token) override {                               \
    return shared_->Unsubscribe(token);                                                        \
  }

// --- the web view --------------------------------------------------------------------

class WebView final : public EngineWebView {
 public:
  WebView(ComRef<wv::ICoreWebView2> com, ComRef<wv::ICoreWebView2Environment> environment,
          std::shared_ptr<Shared> shared)
      : com_(std::move(com)), environment_(std::move(environment)), shared_(std::move(shared)) {}

  // Counts the view's documents from its first navigation on, whether or not
  // the runtime listens to ContentLoading.
  HRESULT CountDocuments() {
    std::weak_ptr<Shared> weak = shared_;
    auto handler = MakeHandler<wv::ICoreWebView2ContentLoadingEventHandler, wv::ICoreWebView2*,
                               wv::ICoreWebView2ContentLoadingEventArgs*>(
        [weak](wv::ICoreWebView2*, wv::ICoreWebView2ContentLoadingEventArgs* args) {
          const auto live = weak.lock();
          if (live && !live->closed && args != nullptr) live->documents.Loading(args);
        });
    ::EventRegistrationToken engine_token{};
    const HRESULT hr = Result(com_->add_ContentLoading(handler.Get(), &engine_token));
    if (Failed(hr)) return hr;
    shared_->subscriptions[NextEventToken()] = Subscription{
        engine_token, [com = com_](::EventRegistrationToken t) { com->remove_ContentLoading(t); }};
    return kSOk;
  }

  // Close: the engine objects go; this seam object refuses from now on.
  void Drop() {
    com_.Reset();
    environment_.Reset();
  }

  HRESULT get_Settings(std::shared_ptr<EngineSettings>* settings) override {
    if (settings == nullptr) return kEPointer;
    if (shared_->closed) return kEInvalidState;
    ComRef<wv::ICoreWebView2Settings> com;
    const HRESULT hr = Result(com_->get_Settings(com.Put()));
    if (Failed(hr)) return hr;
    if (!com) return kEFail;
    *settings = std::make_shared<Settings>(std::move(com));
    return kSOk;
  }
  HRESULT get_Source(std::string* uri) override {
    if (shared_->closed) return kEInvalidState;
    return ReadString([&](LPWSTR* text) { return com_->get_Source(text); }, uri);
  }
  HRESULT Navigate(const std::string& uri) override {
    return WithText(uri, [&](LPCWSTR text) { return com_->Navigate(text); });
  }
  HRESULT NavigateToString(const std::string& html) override {
    return WithText(html, [&](LPCWSTR text) { return com_->NavigateToString(text); });
  }
  HRESULT Reload() override {
    return Call([&] { return com_->Reload(); });
  }
  HRESULT Stop() override {
    return Call([&] { return com_->Stop(); });
  }
  HRESULT GoBack() override {
    return Call([&] { return com_->GoBack(); });
  }
  HRESULT GoForward() override {
    return Call([&] { return com_->GoForward(); });
  }
  HRESULT get_CanGoBack(bool* value) override {
    if (shared_->closed) return kEInvalidState;
    return ReadBool([&](BOOL* out) { return com_->get_CanGoBack(out); }, value);
  }
  HRESULT get_CanGoForward(bool* value) override {
    if (shared_->closed) return kEInvalidState;
    return ReadBool([&](BOOL* out) { return com_->get_CanGoForward(out); }, value);
  }
  HRESULT get_DocumentTitle(std::string* title) override {
    if (shared_->closed) return kEInvalidState;
    return ReadString([&](LPWSTR* text) { return com_->get_DocumentTitle(text); }, title);
  }
  HRESULT get_BrowserProcessId(std::uint32_t* process_id) override {
    if (process_id == nullptr) return kEPointer;
    if (shared_->closed) return kEInvalidState;
    UINT32 value = 0;
    const HRESULT hr = Result(com_->get_BrowserProcessId(&value));
    if (Succeeded(hr)) *process_id = value;
    return hr;
  }
  HRESULT get_ContainsFullScreenElement(bool* contains) override {
    if (shared_->closed) return kEInvalidState;
    return ReadBool([&](BOOL* out) { return com_->get_ContainsFullScreenElement(out); }, contains);
  }

  HRESULT AddScriptToExecuteOnDocumentCreated(const std::string& java_script,
                                              AddScriptCompletedHandler completed) override {
    return StartWithText<wv::ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler>(
        java_script, std::move(completed), [&](LPCWSTR text, auto* handler) {
          return com_->AddScriptToExecuteOnDocumentCreated(text, handler);
        });
  }
  HRESULT RemoveScriptToExecuteOnDocumentCreated(const std::string& id) override {
    return WithText(
        id, [&](LPCWSTR text) { return com_->RemoveScriptToExecuteOnDocumentCreated(text); });
  }
  HRESULT ExecuteScript(const std::string& java_script,
                        ExecuteScriptCompletedHandler completed) override {
    return StartWithText<wv::ICoreWebView2ExecuteScriptCompletedHandler>(
        java_script, std::move(completed),
        [&](LPCWSTR text, auto* handler) { return com_->ExecuteScript(text, handler); });
  }
  HRESULT PostWebMessageAsJson(const std::string& json) override {
    if (!shared_->closed && !IsJson(json)) return kEInvalidArg;
    return WithText(json, [&](LPCWSTR text) { return com_->PostWebMessageAsJson(text); });
  }
  HRESULT PostWebMessageAsString(const std::string& text) override {
    return WithText(text, [&](LPCWSTR wide) { return com_->PostWebMessageAsString(wide); });
  }
  HRESULT PostWebMessageAsJsonToDocument(std::uint64_t document_id,
                                         const std::string& json) override {
    if (shared_->closed) return kEInvalidState;
    if (!IsJson(json)) return kEInvalidArg;
    // WebView2 posts to whatever document is shown; the count is the check.
    if (document_id != shared_->documents.current()) return kSFalse;
    return PostWebMessageAsJson(json);
  }
  HRESULT CapturePreview(CapturePreviewImageFormat format, std::shared_ptr<Stream> stream,
                         CapturePreviewCompletedHandler completed) override {
    if (shared_->closed) return kEInvalidState;
    if (!stream) return kEInvalidArg;
    if (!completed) return kEPointer;
    auto pending = shared_->Track([completed](HRESULT hr) { completed(hr); });
    auto handler = MakeHandler<wv::ICoreWebView2CapturePreviewCompletedHandler, ::HRESULT>(
        [pending, completed](::HRESULT hr) {
          Deliver(pending, [completed, hr] { completed(Result(hr)); });
        });
    const ComRef<IStream> com_stream = ToComStream(stream);
    const HRESULT hr = Result(
        com_->CapturePreview(static_cast<wv::COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT>(format),
                             com_stream.Get(), handler.Get()));
    return Started(pending, hr);
  }
  HRESULT AddWebResourceRequestedFilter(const std::string& uri,
                                        WebResourceContext context) override {
    return WithText(uri, [&](LPCWSTR text) {
      return com_->AddWebResourceRequestedFilter(
          text, static_cast<wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT>(context));
    });
  }
  HRESULT RemoveWebResourceRequestedFilter(const std::string& uri,
                                           WebResourceContext context) override {
    return WithText(uri, [&](LPCWSTR text) {
      return com_->RemoveWebResourceRequestedFilter(
          text, static_cast<wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT>(context));
    });
  }
  HRESULT GetDevToolsProtocolEventReceiver(
      const std::string& event_name,
      std::shared_ptr<DevToolsProtocolEventReceiver>* receiver) override {
    if (receiver == nullptr) return kEPointer;
    ComRef<wv::ICoreWebView2DevToolsProtocolEventReceiver> com;
    const HRESULT hr = WithText(event_name, [&](LPCWSTR text) {
      return com_->GetDevToolsProtocolEventReceiver(text, com.Put());
    });
    if (Failed(hr)) return hr;
    if (!com) return kEFail;
    *receiver = std::make_shared<DevToolsReceiver>(std::move(com), shared_);
    return kSOk;
  }
  HRESULT OpenDevToolsWindow() override {
    return Call([&] { return com_->OpenDevToolsWindow(); });
  }

  TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_WEBVIEW2_EVENT)

  // On ICoreWebView2_4; an engine older than that refuses with kENotImpl and
  // keeps its own download handling.
  HRESULT add_DownloadStarting(DownloadStartingEventHandler h,
                               EventRegistrationToken* token) override {
    if (token == nullptr) return kEPointer;
    if (!h) return kEInvalidArg;
    if (shared_->closed) return kEInvalidState;
    ComRef<wv::ICoreWebView2_4> com;
    const ::HRESULT asked =
        com_->QueryInterface(wv::IID_ICoreWebView2_4, reinterpret_cast<void**>(com.Put()));
    if (asked == E_NOINTERFACE || (SUCCEEDED(asked) && !com)) return kENotImpl;
    if (FAILED(asked)) return Result(asked);
    std::weak_ptr<Shared> weak = shared_;
    auto handler = MakeHandler<wv::ICoreWebView2DownloadStartingEventHandler, wv::ICoreWebView2*,
                               wv::ICoreWebView2DownloadStartingEventArgs*>(
        [weak, h](wv::ICoreWebView2*, wv::ICoreWebView2DownloadStartingEventArgs* args) {
          if (args == nullptr) return;
          // The runtime decides; the engine's own prompt never shows.
          args->put_Handled(TRUE);
          const auto live = weak.lock();
          ComRef<wv::ICoreWebView2Deferral> deferral;
          if (!live || live->closed || FAILED(args->GetDeferral(deferral.Put())) || !deferral) {
            args->put_Cancel(TRUE);
            return;
          }
          auto pending = std::make_shared<PendingDownload>(
              ComRef<wv::ICoreWebView2DownloadStartingEventArgs>::Borrow(args),
              std::move(deferral));
          // Judged for the document that started it: one that has gone by
          // the time the loop gets here takes nothing with it.
          const std::uint64_t document = live->documents.current();
          const bool queued = CurrentUiDispatcher().Post([weak, h, pending, document] {
            const auto shared = weak.lock();
            if (!shared || shared->closed || shared->documents.current() != document) {
              pending->Finish(true);
              return;
            }
            auto seam = std::make_shared<DownloadStartingArgs>(pending->args());
            bool failed = false;
            try {
              h(seam);
            } catch (...) {
              failed = true;  // undecided: cancelled below
            }
            seam->Seal();
            pending->Finish(failed);
          });
          if (!queued) pending->Finish(true);
        });
    ::EventRegistrationToken engine_token{};
    const HRESULT hr = Result(com->add_DownloadStarting(handler.Get(), &engine_token));
    if (Failed(hr)) return hr;
    const EventRegistrationToken ours = NextEventToken();
    shared_->subscriptions[ours] = Subscription{
        engine_token, [com](::EventRegistrationToken t) { com->remove_DownloadStarting(t); }};
    *token = ours;
    return kSOk;
  }
  HRESULT remove_DownloadStarting(EventRegistrationToken token) override {
    return shared_->Unsubscribe(token);
  }

 private:
  template <typename F>
  HRESULT Call(F&& call) {
    if (shared_->closed) return kEInvalidState;
    return Result(call());
  }

  template <typename F>
  HRESULT WithText(const std::string& text, F&& call) {
    if (shared_->closed) return kEInvalidState;
    std::wstring wide;
    if (!ToWide(text, &wide)) return kEInvalidArg;
    return Result(call(wide.c_str()));
  }

  // A started call: a failed start owes no completion.
  static HRESULT Started(const std::shared_ptr<Pending>& pending, HRESULT hr) {
    pending->in_call = false;
    if (Failed(hr)) pending->Claim();
    return hr;
  }

  // Script calls whose completion carries (HRESULT, text).
  template <typename HandlerInterface, typename Completion, typename Start>
  HRESULT StartWithText(const std::string& text, Completion completed, Start&& start) {
    if (shared_->closed) return kEInvalidState;
    std::wstring wide;
    if (!ToWide(text, &wide)) return kEInvalidArg;
    auto pending = shared_->Track([completed](HRESULT hr) {
      if (completed) completed(hr, std::string());
    });
    auto handler = MakeHandler<HandlerInterface, ::HRESULT, LPCWSTR>(
        [pending, completed](::HRESULT hr, LPCWSTR value) {
          // Borrowed for the call only: copied now.
          std::string copy = Utf8FromWide(value);
          Deliver(pending, [completed, hr, copy = std::move(copy)] {
            if (completed) completed(Result(hr), copy);
          });
        });
    return Started(pending, Result(start(wide.c_str(), handler.Get())));
  }

  using Com = wv::ICoreWebView2;

  ComRef<wv::ICoreWebView2> com_;
  ComRef<wv::ICoreWebView2Environment> environment_;
  std::shared_ptr<Shared> shared_;
};

// --- the controller ----------------------------------------------------------------

class Controller final : public EngineController {
 public:
  Controller(ComRef<wv::ICoreWebView2Controller> com,
             ComRef<wv::ICoreWebView2Environment> environment, std::shared_ptr<void> library)
      : com_(std::move(com)), environment_(std::move(environment)) {
    shared_->library = std::move(library);
  }
  ~Controller() override { Close(); }
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  HRESULT get_CoreWebView2(std::shared_ptr<EngineWebView>* web_view) override {
    if (web_view == nullptr) return kEPointer;
    if (shared_->closed) return kEInvalidState;
    if (!web_view_) {
      ComRef<wv::ICoreWebView2> com;
      const HRESULT hr = Result(com_->get_CoreWebView2(com.Put()));
      if (Failed(hr)) return hr;
      if (!com) return kEFail;
      auto web_view = std::make_shared<WebView>(std::move(com), environment_, shared_);
      const HRESULT counted = web_view->CountDocuments();
      if (Failed(counted)) return counted;
      web_view_ = std::move(web_view);
    }
    *web_view = web_view_;
    return kSOk;
  }
  HRESULT get_IsVisible(bool* visible) override {
    if (shared_->closed) return kEInvalidState;
    return ReadBool([&](BOOL* out) { return com_->get_IsVisible(out); }, visible);
  }
  HRESULT put_IsVisible(bool visible) override {
    if (shared_->closed) return kEInvalidState;
    return Result(com_->put_IsVisible(visible ? TRUE : FALSE));
  }
  HRESULT get_Bounds(Rect* bounds) override {
    if (bounds == nullptr) return kEPointer;
    if (shared_->closed) return kEInvalidState;
    RECT value{};
    const HRESULT hr = Result(com_->get_Bounds(&value));
    if (Succeeded(hr)) *bounds = Rect{value.left, value.top, value.right, value.bottom};
    return hr;
  }
  HRESULT put_Bounds(Rect bounds) override {
    if (shared_->closed) return kEInvalidState;
    return Result(com_->put_Bounds(RECT{bounds.left, bounds.top, bounds.right, bounds.bottom}));
  }
  HRESULT get_ZoomFactor(double* zoom_factor) override {
    if (zoom_factor == nullptr) return kEPointer;
    if (shared_->closed) return kEInvalidState;
    return Result(com_->get_ZoomFactor(zoom_factor));
  }
  HRESULT put_ZoomFactor(double zoom_factor) override {
    if (shared_->closed) return kEInvalidState;
    if (!(zoom_factor > 0.0)) return kEInvalidArg;
    return Result(com_->put_ZoomFactor(zoom_factor));
  }
  HRESULT MoveFocus(MoveFocusReason reason) override {
    if (shared_->closed) return kEInvalidState;
    return Result(com_->MoveFocus(static_cast<wv::COREWEBVIEW2_MOVE_FOCUS_REASON>(reason)));
  }
  HRESULT Close() override {
    if (shared_->closed) return kSOk;
    shared_->Shut();
    if (web_view_) web_view_->Drop();
    const HRESULT hr = com_ ? Result(com_->Close()) : kSOk;
    com_.Reset();
    environment_.Reset();
    return hr;
  }

  TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_WEBVIEW2_EVENT)

 private:
  using Com = wv::ICoreWebView2Controller;

  ComRef<wv::ICoreWebView2Controller> com_;
  ComRef<wv::ICoreWebView2Environment> environment_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::shared_ptr<WebView> web_view_;
};

#undef TESSEL_WEBVIEW2_EVENT

// --- the environment ---------------------------------------------------------------

class Environment final : public EngineEnvironment {
 public:
  Environment(ComRef<wv::ICoreWebView2Environment> com, std::shared_ptr<void> library)
      : com_(std::move(com)), library_(std::move(library)) {}

  HRESULT CreateCoreWebView2Controller(NativeWindowHandle parent_window,
                                       CreateControllerCompletedHandler completed) override {
    if (!completed) return kEPointer;
    if (parent_window == nullptr) return kEInvalidArg;
    auto pending = std::make_shared<Pending>(nullptr);
    auto environment = com_;
    auto library = library_;
    auto handler = MakeHandler<wv::ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                               ::HRESULT, wv::ICoreWebView2Controller*>(
        [pending, completed, environment, library](::HRESULT hr,
                                                   wv::ICoreWebView2Controller* controller) {
          auto com = ComRef<wv::ICoreWebView2Controller>::Borrow(controller);
          Deliver(pending, [completed, environment, library, hr, com = std::move(com)]() mutable {
            if (Failed(Result(hr)) || !com) {
              completed(Failed(Result(hr)) ? Result(hr) : kEFail, nullptr);
              return;
            }
            completed(kSOk, std::make_shared<Controller>(std::move(com), environment, library));
          });
        });
    const HRESULT hr =
        Result(com_->CreateCoreWebView2Controller(static_cast<HWND>(parent_window), handler.Get()));
    pending->in_call = false;
    if (Failed(hr)) pending->Claim();
    return hr;
  }

  HRESULT CreateWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                    const std::string& reason_phrase, const std::string& headers,
                                    std::shared_ptr<WebResourceResponse>* response) override {
    return MakeResponse(com_.Get(), content, status_code, reason_phrase, headers, response);
  }

  HRESULT get_BrowserVersionString(std::string* version) override {
    return ReadString([&](LPWSTR* text) { return com_->get_BrowserVersionString(text); }, version);
  }

 private:
  ComRef<wv::ICoreWebView2Environment> com_;
  std::shared_ptr<void> library_;
};

// The UI thread joins a single-threaded apartment once and stays in it: the
// engine's objects live there until the process ends.
::HRESULT EnterApartment() {
  thread_local bool entered = false;
  if (entered) return S_OK;
  const ::HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(hr)) entered = true;
  return hr;
}

std::wstring UserDataFolder() {
  const DWORD size = GetEnvironmentVariableW(L"WEBVIEW2_USER_DATA_FOLDER", nullptr, 0);
  if (size <= 1) return {};
  std::wstring value(size, L'\0');
  const DWORD written = GetEnvironmentVariableW(L"WEBVIEW2_USER_DATA_FOLDER", value.data(), size);
  value.resize(written < size ? written : 0);
  return value;
}

void StartOnUiThread(CreateEnvironmentWithOptionsFunction create,
                     const std::shared_ptr<void>& library,
                     const CreateEnvironmentCompletedHandler& completed) {
  // A multithreaded apartment here is the engine's to refuse.
  EnterApartment();
  auto pending = std::make_shared<Pending>(nullptr);
  auto handler = MakeHandler<wv::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                             ::HRESULT, wv::ICoreWebView2Environment*>(
      [pending, completed, library](::HRESULT hr, wv::ICoreWebView2Environment* environment) {
        auto com = ComRef<wv::ICoreWebView2Environment>::Borrow(environment);
        Deliver(pending, [completed, library, hr, com = std::move(com)]() mutable {
          if (Failed(Result(hr)) || !com) {
            completed(Failed(Result(hr)) ? Result(hr) : kEFail, nullptr);
            return;
          }
          completed(kSOk, std::make_shared<Environment>(std::move(com), library));
        });
      });
  const std::wstring folder = UserDataFolder();
  const HRESULT hr =
      Result(create(nullptr, folder.empty() ? nullptr : folder.c_str(), nullptr, handler.Get()));
  pending->in_call = false;
  if (Failed(hr) && pending->Claim()) completed(hr, nullptr);
}

}  // namespace

HRESULT CreateWebView2Environment(CreateEnvironmentWithOptionsFunction create,
                                  std::shared_ptr<void> library,
                                  CreateEnvironmentCompletedHandler completed) {
  if (!completed) return kEPointer;
  if (create == nullptr) return kEFail;
  // The engine answers through the message loop of the thread that asked,
  // so the request must come from the UI thread, whatever thread called;
  // posted even from there, so that no answer comes inside this call.
  const bool queued = CurrentUiDispatcher().Post(
      [create, library = std::move(library), completed = std::move(completed)] {
        StartOnUiThread(create, library, completed);
      });
  return queued ? kSOk : kEFail;
}

}  // namespace tessel::platform
