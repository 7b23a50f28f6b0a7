#include "standin_support.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/win32/wide_text.h"

namespace tessel::standin {
namespace {

std::mutex& Lock() {
  static auto* mutex = new std::mutex;  // outlives every static destructor
  return *mutex;
}
std::map<std::string, long>& Objects() {
  static auto* objects = new std::map<std::string, long>;
  return *objects;
}
std::set<void*>& Strings() {
  static auto* strings = new std::set<void*>;
  return *strings;
}
std::atomic<bool> g_used{false};
bool g_spying = false;
DWORD g_owner = 0;

// Sees every CoTaskMemFree of the process, so a string handed out and never
// freed is known at exit.
class FreeSpy final : public IMallocSpy {
 public:
  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) override { return block; }
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL /*spied*/) override {
    if (block != nullptr) {
      const std::lock_guard lock(Lock());
      Strings().erase(block);
    }
    return block;
  }
  void STDMETHODCALLTYPE PostFree(BOOL /*spied*/) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** out, BOOL) override {
    *out = block;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return block; }
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

FreeSpy g_spy;

// The queue: tasks travel as heap pointers in posted messages.
constexpr UINT kRunTask = WM_APP + 0x5A;
constexpr wchar_t kQueueClass[] = L"TesselStandinQueue";
HWND g_queue = nullptr;

LRESULT CALLBACK QueueProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kRunTask || message == WM_TIMER) {
    if (message == WM_TIMER) KillTimer(window, wparam);
    auto* task = reinterpret_cast<std::function<void()>*>(message == kRunTask ? lparam : wparam);
    try {
      (*task)();
    } catch (...) {
      Fault("a stand-in task threw");
    }
    delete task;
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// "<pid> text" to the file at `path`, whole, beside other processes' lines.
void Append(const std::wstring& path, std::string_view text) {
  if (path.empty()) return;
  std::string line = std::to_string(GetCurrentProcessId()) + " ";
  for (char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else if (c != '\r') {
      line += c;
    }
  }
  line += '\n';
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

// A line the harness judges the run by: into both logs.
void Verdict(std::string_view text) {
  Append(LogPath(), text);
  Append(VerdictLogPath(), text);
}

// At process exit. Another thread may have been ended inside the spy while
// holding the lock: the report is written then all the same.
void Report() {
  if (!g_used) return;
  std::unique_lock lock(Lock(), std::defer_lock);
  for (int tries = 0; tries < 200 && !lock.try_lock(); ++tries) Sleep(5);
  long objects = 0;
  for (const auto& [kind, count] : Objects()) {
    if (count != 0) {
      objects += count;
      Verdict("leaked " + kind + " " + std::to_string(count));
    }
  }
  const std::string strings = g_spying ? std::to_string(Strings().size()) : "unknown";
  Verdict("leaks objects=" + std::to_string(objects) + " strings=" + strings);
}

}  // namespace

std::wstring LogPath() {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD size = GetEnvironmentVariableW(L"TESSEL_STANDIN_LOG", buffer, MAX_PATH * 2);
  if (size == 0 || size >= MAX_PATH * 2) return {};
  return {buffer, size};
}

void Log(std::string_view text) {
  Append(LogPath(), text);
  // An error line is a verdict whoever writes it.
  if (text.starts_with("error: ")) Append(VerdictLogPath(), text);
}

// "virtual HRESULT tessel::standin::{anonymous}::Settings::get_X(BOOL*)" as
// "Settings::get_X".
std::string MethodName(std::string_view pretty) {
  std::string name(pretty.substr(0, pretty.find('(')));
  if (const auto space = name.rfind(' '); space != std::string::npos) name.erase(0, space + 1);
  for (const std::string_view noise : {"tessel::standin::", "{anonymous}::"}) {
    if (const auto at = name.find(noise); at != std::string::npos) name.erase(at, noise.size());
  }
  return name;
}

std::wstring VerdictLogPath() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD size = GetTempPathW(MAX_PATH + 1, folder);
  if (size == 0 || size > MAX_PATH) return {};
  return std::wstring(folder, size) + L"tessel-standin.log";
}

void Fault(std::string_view what) { Log("error: " + std::string(what)); }

bool WrongThreadFault(std::string_view method) {
  Fault("wrong thread: " + MethodName(method) + " (RPC_E_WRONG_THREAD)");
  return true;
}

void StartCounting() {
  // Not under Lock(): the allocator may hold its own lock while calling the spy.
  if (g_used.exchange(true)) return;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&Report), &self);
  g_spying = SUCCEEDED(CoRegisterMallocSpy(&g_spy));
  Verdict("in-use");
  if (!g_spying) Verdict("warning: CoTaskMemFree cannot be watched; strings are not counted");
}

void CountObject(const char* kind, int change) {
  const std::lock_guard lock(Lock());
  Objects()[kind] += change;
}

LPWSTR HandOut(std::wstring_view text) {
  const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return nullptr;
  CopyMemory(copy, text.data(), text.size() * sizeof(wchar_t));
  copy[text.size()] = L'\0';
  const std::lock_guard lock(Lock());
  Strings().insert(copy);
  return copy;
}

DWORD OwnerThread() { return g_owner; }
void SetOwnerThread(DWORD thread) { g_owner = thread; }

bool StartQueue() {
  // Pinned there: tasks and window procedures must outlive the runtime's
  // last FreeLibrary too.
  StartCounting();
  if (g_queue != nullptr) return true;
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&QueueProc), &self);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = QueueProc;
  window_class.hInstance = self;
  window_class.lpszClassName = kQueueClass;
  RegisterClassExW(&window_class);
  g_queue =
      CreateWindowExW(0, kQueueClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, self, nullptr);
  return g_queue != nullptr;
}

void Post(std::function<void()> task, unsigned delay_ms) {
  auto* owned = new std::function<void()>(std::move(task));
  if (delay_ms == 0) {
    if (!PostMessageW(g_queue, kRunTask, 0, reinterpret_cast<LPARAM>(owned))) delete owned;
    return;
  }
  // The task's address is the timer's id: unique while it waits.
  if (SetTimer(g_queue, reinterpret_cast<UINT_PTR>(owned), delay_ms, nullptr) == 0) delete owned;
}

}  // namespace tessel::standin

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_DETACH) tessel::standin::Report();
  return TRUE;
}

// For the tests that drive the stand-in in-process: what is alive right now.
extern "C" __declspec(dllexport) void TesselStandinCounts(long* objects, long* strings) {
  using namespace tessel::standin;
  const std::lock_guard lock(Lock());
  long live = 0;
  for (const auto& [kind, count] : Objects()) live += count;
  if (objects != nullptr) *objects = live;
  if (strings != nullptr) *strings = g_spying ? static_cast<long>(Strings().size()) : -1;
}
