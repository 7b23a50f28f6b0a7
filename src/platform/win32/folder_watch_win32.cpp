#include <windows.h>

#include <atomic>
#include <set>
#include <thread>

#include "platform/folder_watch.h"
#include "platform/ui_dispatch.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                          FILE_NOTIFY_CHANGE_CREATION;

std::string SystemReason(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring reason = length > 0 ? std::wstring(text, length) : L"error " + std::to_wstring(code);
  LocalFree(text);
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' ||
                             reason.back() == L'.' || reason.back() == L' ')) {
    reason.pop_back();
  }
  return Utf8FromWide(reason);
}

class Win32FolderWatch final : public FolderWatch {
 public:
  Win32FolderWatch(HANDLE folder, HANDLE changed, HANDLE stop, int quiet_ms,
                   std::function<void(const FolderChanges&)> on_change)
      : folder_(folder),
        changed_(changed),
        stop_(stop),
        quiet_ms_(quiet_ms),
        on_change_(std::move(on_change)) {}

  ~Win32FolderWatch() override {
    *alive_ = false;
    SetEvent(stop_);
    if (thread_.joinable()) thread_.join();
    CloseHandle(folder_);
    CloseHandle(changed_);
    CloseHandle(stop_);
  }

  Win32FolderWatch(const Win32FolderWatch&) = delete;
  Win32FolderWatch& operator=(const Win32FolderWatch&) = delete;

  bool Arm() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = changed_;
    return ReadDirectoryChangesW(folder_, buffer_, sizeof buffer_, TRUE, kFilter, nullptr,
                                 &overlapped_, nullptr) != FALSE;
  }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }

 private:
  void Run() {
    std::set<std::string> pending;
    bool armed = true;
    for (;;) {
      const HANDLE handles[2] = {stop_, changed_};
      const DWORD wait = pending.empty() ? INFINITE : static_cast<DWORD>(quiet_ms_);
      const DWORD which = WaitForMultipleObjects(armed ? 2 : 1, handles, FALSE, wait);
      if (which == WAIT_OBJECT_0) break;
      if (which == WAIT_TIMEOUT) {
        Post(FolderChanges(pending.begin(), pending.end()));
        pending.clear();
        continue;
      }
      if (which != WAIT_OBJECT_0 + 1) break;
      DWORD bytes = 0;
      if (GetOverlappedResult(folder_, &overlapped_, &bytes, FALSE) == FALSE || bytes == 0) {
        // The system's buffer ran over: what changed is not known.
        pending.insert(std::string());
      } else {
        Take(bytes, pending);
      }
      armed = Arm();
      // The folder itself went: one last report, then nothing more to watch.
      if (!armed) pending.insert(std::string());
    }
    // Stopping with a read still out: it must end before its buffer goes.
    if (armed && CancelIoEx(folder_, &overlapped_) != FALSE) {
      DWORD bytes = 0;
      GetOverlappedResult(folder_, &overlapped_, &bytes, TRUE);
    }
  }

  void Take(DWORD bytes, std::set<std::string>& pending) {
    for (DWORD at = 0; at < bytes;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
      std::string name =
          Utf8FromWide(std::wstring_view(info->FileName, info->FileNameLength / sizeof(wchar_t)));
      for (char& c : name) {
        if (c == '\\') c = '/';
      }
      pending.insert(std::move(name));
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }

  void Post(FolderChanges changes) {
    RunOnUiThread([alive = alive_, on_change = on_change_, changes = std::move(changes)] {
      if (*alive) on_change(changes);
    });
  }

  HANDLE folder_;
  HANDLE changed_;
  HANDLE stop_;
  int quiet_ms_;
  std::function<void(const FolderChanges&)> on_change_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  OVERLAPPED overlapped_{};
  alignas(DWORD) BYTE buffer_[64 * 1024];
  std::thread thread_;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& path, int quiet_ms,
                                         std::function<void(const FolderChanges&)> on_change,
                                         std::string& error) {
  const HANDLE folder =
      CreateFileW(WideFromUtf8(path).c_str(), FILE_LIST_DIRECTORY,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    error = SystemReason(GetLastError());
    return nullptr;
  }
  const HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (changed == nullptr || stop == nullptr) {
    error = SystemReason(GetLastError());
    if (changed != nullptr) CloseHandle(changed);
    if (stop != nullptr) CloseHandle(stop);
    CloseHandle(folder);
    return nullptr;
  }
  auto watch =
      std::make_unique<Win32FolderWatch>(folder, changed, stop, quiet_ms, std::move(on_change));
  if (!watch->Arm()) {
    error = SystemReason(GetLastError());
    return nullptr;
  }
  watch->Start();
  return watch;
}

}  // namespace tessel::platform
