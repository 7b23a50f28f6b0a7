#include <windows.h>
// windows.h first: these need its types.
#include <bcrypt.h>
#include <shellapi.h>
#include <shlobj.h>

#include <climits>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/win32/win32_os.h"

namespace tessel::platform {

std::string Win32Os::ExecutablePath() const {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return Utf8FromWide(std::wstring_view(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

std::string Win32Os::AnsiToUtf8(std::string_view bytes) const {
  if (bytes.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  return Utf8FromWide(wide);
}

namespace {

class Win32ConsoleProcess : public ConsoleProcess {
 public:
  Win32ConsoleProcess(HANDLE process, HANDLE thread, HANDLE read_end)
      : process_(process), thread_(thread), read_(read_end) {}
  ~Win32ConsoleProcess() override {
    CloseHandle(read_);
    Wait();
    CloseHandle(thread_);
    CloseHandle(process_);
  }
  Win32ConsoleProcess(const Win32ConsoleProcess&) = delete;
  Win32ConsoleProcess& operator=(const Win32ConsoleProcess&) = delete;

  int Read(char* buf, int max) override {
    if (max <= 0) return 0;
    DWORD n = 0;
    // Fails with ERROR_BROKEN_PIPE once every holder of the write end is gone.
    if (!ReadFile(read_, buf, static_cast<DWORD>(max), &n, nullptr)) return -1;
    return static_cast<int>(n);
  }

  void Wait() override {
    if (waited_) return;
    waited_ = true;
    WaitForSingleObject(process_, INFINITE);
  }

 private:
  HANDLE process_;
  HANDLE thread_;
  HANDLE read_;
  bool waited_ = false;
};

BOOL CALLBACK CollectCaption(HWND window, LPARAM list) {
  const int length = GetWindowTextLengthW(window);
  std::wstring caption(static_cast<size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, caption.data(), length + 1);
  caption.resize(static_cast<size_t>(got > 0 ? got : 0));
  try {
    reinterpret_cast<std::vector<std::string>*>(list)->push_back(Utf8FromWide(caption));
  } catch (...) {
    // A caption that cannot be kept is left out; the enumeration goes on.
  }
  return TRUE;
}

}  // namespace

std::string Win32Os::ShellFolderPath(ShellFolder which) const {
  int csidl = CSIDL_LOCAL_APPDATA;
  switch (which) {
    case ShellFolder::LocalAppData:
      csidl = CSIDL_LOCAL_APPDATA;
      break;
    case ShellFolder::Desktop:
      csidl = CSIDL_DESKTOP;
      break;
    case ShellFolder::Documents:
      csidl = CSIDL_PERSONAL;
      break;
  }
  wchar_t buf[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf))) return {};
  return Utf8FromWide(buf);
}

std::string Win32Os::TempPath() const {
  wchar_t buf[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, buf);
  if (n == 0 || n > MAX_PATH) return {};
  std::wstring path(buf, n);
  const DWORD need = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (need > 0) {
    std::wstring long_path(need, L'\0');
    const DWORD got = GetLongPathNameW(path.c_str(), long_path.data(), need);
    if (got > 0 && got < need) path.assign(long_path.data(), got);
  }
  return Utf8FromWide(path);
}

bool Win32Os::RemoveDirectoryTree(const std::string& path) {
  // The shell takes lists of paths, each ended by a NUL and the list by a
  // second one; c_str() supplies the second.
  std::wstring list = WideFromUtf8(path);
  list.push_back(L'\0');
  SHFILEOPSTRUCTW op{};
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.pTo = list.c_str();  // ignored by FO_DELETE
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  return SHFileOperationW(&op) == 0;
}

bool Win32Os::ShellStart(const std::string& file, const std::string& args) {
  const std::wstring wfile = WideFromUtf8(file);
  const std::wstring wargs = WideFromUtf8(args);
  // No error box of the shell's own: the caller answers a failure with the
  // system's text, and a box would hold the UI thread until someone came.
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.hwnd = GetActiveWindow();
  info.lpVerb = L"open";
  info.lpFile = wfile.c_str();
  info.lpParameters = wargs.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info) != FALSE;
}

namespace {

// The variable's name in an environment block entry; the entries for drive
// folders ("=C:=C:\\dir") begin with '=', which is part of their name.
std::wstring_view EntryName(std::wstring_view entry) {
  return entry.substr(0, entry.find(L'=', 1));
}

bool NameLess(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

// This process's environment block with `name`=`value` in its place: names
// compare without case and stay sorted, as the system keeps them.
std::wstring EnvironmentBlockWith(const std::wstring& name, const std::wstring& value) {
  std::wstring block;
  bool placed = false;
  const auto place = [&] {
    block += name + L'=' + value;
    block.push_back(L'\0');
    placed = true;
  };
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      const std::wstring_view text(entry);
      const std::wstring_view entry_name = EntryName(text);
      if (CompareStringOrdinal(entry_name.data(), static_cast<int>(entry_name.size()), name.data(),
                               static_cast<int>(name.size()), TRUE) == CSTR_EQUAL) {
        continue;
      }
      if (!placed && NameLess(name, entry_name)) place();
      block.append(text);
      block.push_back(L'\0');
    }
    FreeEnvironmentStringsW(strings);
  }
  if (!placed) place();
  block.push_back(L'\0');
  return block;
}

}  // namespace

bool Win32Os::StartWithVariable(const std::string& file, const std::string& args,
                                const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos ||
      file.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::wstring wfile = WideFromUtf8(file);
  std::wstring environment = EnvironmentBlockWith(WideFromUtf8(name), WideFromUtf8(value));
  std::wstring command_line = L"\"" + wfile + L"\" " + WideFromUtf8(args);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(wfile.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &si, &pi)) {
    return false;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool Win32Os::SecureRandom(std::span<std::uint8_t> out) const {
  // NTSTATUS: negative values are failures.
  return out.size() <= ULONG_MAX &&
         BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

bool Win32Os::ShellShowInFolder(const std::string& file) {
  return ShellStart("explorer.exe", "/select, \"" + file + "\"");
}

namespace {

// Every command joins one job that ends with the app: its handle closes with
// the process, and the system then ends whatever the commands left. What a
// command starts joins it too, `start` included; breaking away is refused,
// since neither breakaway limit is set.
HANDLE CommandJob() {
  static const HANDLE job = [] {
    const HANDLE made = CreateJobObjectW(nullptr, nullptr);
    if (made != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return made;
  }();
  return job;
}

}  // namespace

void Win32Os::EndConsoleCommands() {
  if (const HANDLE job = CommandJob()) TerminateJobObject(job, 1);
}

std::unique_ptr<ConsoleProcess> Win32Os::StartConsole(const std::vector<std::string>& argv,
                                                      const std::string& working_dir,
                                                      bool show_window, ConsoleStartError* error) {
  const auto failed = [error](ConsoleStartStep step,
                              DWORD code) -> std::unique_ptr<ConsoleProcess> {
    if (error != nullptr) *error = {step, static_cast<int>(code)};
    SetLastError(code);
    return nullptr;
  };
  const std::wstring dir = WideFromUtf8(working_dir);
  // CreateProcessW names no step when it fails, so the folder is looked at
  // first: a missing one gets the system's own reason.
  if (!dir.empty()) {
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return failed(ConsoleStartStep::WorkingDir, GetLastError());
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return failed(ConsoleStartStep::WorkingDir, ERROR_DIRECTORY);
    }
  }
  const HANDLE job = CommandJob();
  // One start at a time: while a write end is inheritable, no other child
  // may be started, or it would hold that pipe open and the command's reply
  // would wait for it to end.
  static std::mutex starting;
  const std::lock_guard<std::mutex> lock(starting);

  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = nullptr;
  sa.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &sa, 0)) {
    return failed(ConsoleStartStep::Program, GetLastError());
  }
  // Only the write end goes to the child; the read end stays ours.
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                   OPEN_EXISTING, 0, nullptr);

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.StartupInfo.wShowWindow = show_window ? SW_SHOWNORMAL : SW_HIDE;
  si.StartupInfo.hStdInput = input != INVALID_HANDLE_VALUE ? input : nullptr;
  si.StartupInfo.hStdOutput = write_end;
  si.StartupInfo.hStdError = write_end;

  // The child inherits exactly its own pipe end and input, nothing else.
  HANDLE inherited[2] = {write_end, input};
  const DWORD inherited_count = input != INVALID_HANDLE_VALUE ? 2 : 1;
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  DWORD flags = CREATE_SUSPENDED;
  if (list_size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  inherited_count * sizeof(HANDLE), nullptr, nullptr)) {
      si.lpAttributeList = list;
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
      DeleteProcThreadAttributeList(list);
    }
  }

  std::string joined;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) joined.push_back(' ');
    joined += argv[i];
  }
  std::wstring command_line = WideFromUtf8(joined);  // CreateProcessW may write into it
  PROCESS_INFORMATION pi{};
  const BOOL started =
      CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                     dir.empty() ? nullptr : dir.c_str(), &si.StartupInfo, &pi);
  const DWORD err = GetLastError();
  if (si.lpAttributeList != nullptr) DeleteProcThreadAttributeList(si.lpAttributeList);
  // Our copy of the write end must go, or the pipe never reports its end.
  CloseHandle(write_end);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!started) {
    CloseHandle(read_end);
    // The folder's own error: it went since it was looked at, or may not be
    // entered.
    const bool folder = !dir.empty() && err == ERROR_DIRECTORY;
    return failed(folder ? ConsoleStartStep::WorkingDir : ConsoleStartStep::Program, err);
  }
  // Joined before it runs, so nothing it starts escapes the job. Without a
  // job (nested jobs refused) it still runs.
  if (job != nullptr) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  return std::make_unique<Win32ConsoleProcess>(pi.hProcess, pi.hThread, read_end);
}

std::vector<std::string> Win32Os::TopLevelWindowCaptions() const {
  std::vector<std::string> captions;
  EnumWindows(CollectCaption, reinterpret_cast<LPARAM>(&captions));
  return captions;
}

std::string Win32Os::LanguageCode() const {
  wchar_t buf[16] = {};
  const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, buf, 16);
  if (n <= 1) return "en";
  std::string code = Utf8FromWide(std::wstring_view(buf, static_cast<size_t>(n - 1)));
  for (char& c : code) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return code;
}

InstanceLock Win32Os::AcquireInstanceLock(const std::string& name) {
  // A NUL would silently shorten the name to another lock's.
  if (name.empty() || name.find('\0') != std::string::npos) return InstanceLock::Failed;
  const std::wstring wname = WideFromUtf8(name);
  // The handle is never closed: the mutex lives as long as the process.
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, wname.c_str());
  if (mutex == nullptr) return InstanceLock::Failed;
  return GetLastError() == ERROR_ALREADY_EXISTS ? InstanceLock::AlreadyHeld
                                                : InstanceLock::Acquired;
}

bool Win32Os::CreateDirectories(const std::string& path) { return CreateDirectoryPath(path); }

std::string Win32Os::GetEnv(const std::string& name) const {
  if (name.empty()) return {};
  const std::wstring wname = WideFromUtf8(name);
  std::wstring value;
  DWORD size = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  while (size > 0) {
    value.assign(size, L'\0');
    const DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), size);
    if (got < size) {
      value.resize(got);
      return Utf8FromWide(value);
    }
    size = got;  // it grew meanwhile
  }
  return {};
}

bool Win32Os::SetEnv(const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::wstring wname = WideFromUtf8(name);
  const std::wstring wvalue = WideFromUtf8(value);
  return SetEnvironmentVariableW(wname.c_str(), wvalue.c_str()) != 0;
}

bool Win32Os::UnsetEnv(const std::string& name) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // A null value deletes the variable; deleting one that is not set fails
  // with ERROR_ENVVAR_NOT_FOUND, which is the wanted state all the same.
  const std::wstring wname = WideFromUtf8(name);
  return SetEnvironmentVariableW(wname.c_str(), nullptr) != 0 ||
         GetLastError() == ERROR_ENVVAR_NOT_FOUND;
}

std::vector<std::string> Win32Os::CommandLineArguments(int argc, const char* const* argv) const {
  std::vector<std::string> out;
  int n = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n)) {
    for (int i = 0; i < n; ++i) out.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
    return out;
  }
  for (int i = 0; argv != nullptr && i < argc && argv[i] != nullptr; ++i) out.emplace_back(argv[i]);
  return out;
}

bool Win32Os::IsAbsolutePath(std::string_view path) const {
  const auto is_sep = [](char c) { return c == '\\' || c == '/'; };
  const auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (path.size() >= 3 && is_letter(path[0]) && path[1] == ':' && is_sep(path[2])) return true;
  return path.size() >= 2 && is_sep(path[0]) && is_sep(path[1]);
}

int Win32Os::LastErrorCode() const { return static_cast<int>(GetLastError()); }

std::string Win32Os::ErrorText(int code) const {
  LPWSTR buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
  std::wstring text = n > 0 && buf != nullptr ? std::wstring(buf, n) : std::wstring();
  if (buf != nullptr) LocalFree(buf);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return text.empty() ? "Error " + std::to_string(code) : Utf8FromWide(text);
}

std::unique_ptr<Os> MakeNativeOs() { return std::make_unique<Win32Os>(); }

}  // namespace tessel::platform
