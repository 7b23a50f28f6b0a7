// Plumbing of the stand-in engine: the logs the tests read, counted COM
// objects and strings, the thread check of every method, and the UI-thread
// task queue every event and completion goes through. Test code only: never
// packed into an app.
#pragma once

#include <windows.h>
// windows.h first: the COM headers rely on its types.
#include <objbase.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/com_ref.h"
#include "platform/win32/webview2_com.h"

namespace tessel::webview2 {
template <>
struct InterfaceId<IStream> {
  static constexpr const IID& value = IID_IStream;
};
}  // namespace tessel::webview2

namespace tessel::standin {

// One line to the log named by TESSEL_STANDIN_LOG ("<pid> <text>"); nothing
// when it is not set. Lines of several processes interleave whole. An
// "error: " line goes to the verdict log too.
void Log(std::string_view text);
// The log's path, empty when there is none.
std::wstring LogPath();
// The verdict log every process of the stand-in writes, whatever the
// environment says: "tessel-standin.log" in the Windows temp folder
// (GetTempPathW). It gets each process's "in-use" line when it first uses
// the stand-in, every error line and the leak report at exit; the harness
// fails a run on any error, any leak and any "in-use" without its report.
std::wstring VerdictLogPath();
// A fault of the runtime (a refused call, a late write) or of a test: one
// "<pid> error: <what>" line.
void Fault(std::string_view what);
// Starts counting strings (the CoTaskMemFree spy) and pins the library, so
// the spy and the report at exit outlive the runtime's FreeLibrary.
void StartCounting();

// Live objects by kind, and the strings handed out and not yet freed.
void CountObject(const char* kind, int change);
// A copy in CoTaskMemAlloc'd memory, counted until the caller frees it.
LPWSTR HandOut(std::wstring_view text);

// The thread that created the environment: every engine object belongs to it.
DWORD OwnerThread();
void SetOwnerThread(DWORD thread);
// True off the owner thread: the call must fail with RPC_E_WRONG_THREAD.
inline bool WrongThread() { return GetCurrentThreadId() != OwnerThread(); }
// "virtual HRESULT tessel::standin::{anonymous}::Settings::get_X(BOOL*)" as
// "Settings::get_X".
std::string MethodName(std::string_view pretty);
// Logs a call of `method` (a name or a __PRETTY_FUNCTION__) refused for its
// thread; true, for the macro below.
bool WrongThreadFault(std::string_view method);

// First in every method of every engine object.
#define STANDIN_ON_OWNER_THREAD()                               \
  if (::tessel::standin::WrongThread() &&                       \
      ::tessel::standin::WrongThreadFault(__PRETTY_FUNCTION__)) \
  return RPC_E_WRONG_THREAD

// Runs `task` later from the owner thread's message loop, never inside the
// caller; after `delay_ms` when given.
void Post(std::function<void()> task, unsigned delay_ms = 0);
// Makes the message window the queue uses (on the owner thread).
bool StartQueue();

// A counted COM object implementing `Interface`.
template <typename Interface>
class Object : public Interface {
 public:
  explicit Object(const char* kind) : kind_(kind) { CountObject(kind_, +1); }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (WrongThread() && WrongThreadFault(std::string(kind_) + "::QueryInterface")) {
      return RPC_E_WRONG_THREAD;
    }
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, webview2::InterfaceId<Interface>::value) ||
        (std::is_same_v<Interface, IStream> && IsEqualIID(iid, IID_ISequentialStream))) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // These cannot refuse; a count changed off the owner thread is still a
  // fault of the caller.
  ULONG STDMETHODCALLTYPE AddRef() override {
    if (WrongThread()) WrongThreadFault(std::string(kind_) + "::AddRef");
    return ++references_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    if (WrongThread()) WrongThreadFault(std::string(kind_) + "::Release");
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Object() { CountObject(kind_, -1); }

 private:
  const char* kind_;
  std::atomic<ULONG> references_{1};
};

template <typename T>
using Ref = platform::ComRef<T>;

// [out] values as the engine hands them out: strings counted until freed,
// objects with the reference the caller now owns.
inline ::HRESULT OutString(const std::wstring& text, LPWSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = HandOut(text);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

template <typename T>
::HRESULT OutValue(T value, T* out) {
  if (out == nullptr) return E_POINTER;
  *out = value;
  return S_OK;
}

template <typename T>
::HRESULT OutRef(Ref<T> object, T** out) {
  if (out == nullptr) return E_POINTER;
  *out = object.Detach();
  return S_OK;
}

// The handlers of one event, each held by one reference until removed.
template <typename HandlerInterface>
class Handlers {
 public:
  ::HRESULT Add(HandlerInterface* handler, ::EventRegistrationToken* token) {
    STANDIN_ON_OWNER_THREAD();
    if (handler == nullptr || token == nullptr) return E_POINTER;
    token->value = ++last_;
    entries_.emplace_back(token->value, Ref<HandlerInterface>::Borrow(handler));
    return S_OK;
  }
  ::HRESULT Remove(::EventRegistrationToken token) {
    STANDIN_ON_OWNER_THREAD();
    std::erase_if(entries_, [&](const auto& e) { return e.first == token.value; });
    return S_OK;
  }
  bool empty() const { return entries_.empty(); }
  template <typename... Args>
  void Raise(Args... args) {
    auto snapshot = entries_;  // a handler may remove itself
    for (auto& [token, handler] : snapshot) handler->Invoke(args...);
  }
  void Clear() { entries_.clear(); }

 private:
  std::vector<std::pair<INT64, Ref<HandlerInterface>>> entries_;
  INT64 last_ = 0;
};

}  // namespace tessel::standin
