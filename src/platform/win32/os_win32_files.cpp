// The Windows side of the further system utilities, with the shell's own
// calls, flags and buffer sizes.
#include <windows.h>
// windows.h first: these need its types.
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <stdexcept>

#include "platform/win32/win32_os.h"

namespace tessel::platform {
namespace {

std::string FolderByCsidl(int csidl) {
  wchar_t buf[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf))) return {};
  return Utf8FromWide(buf);
}

// One FO_COPY of the shell; the lists end with two NULs (c_str() adds the
// second).
bool ShellCopy(const std::string& from, const std::string& to, FILEOP_FLAGS flags) {
  std::wstring source = WideFromUtf8(from);
  source.push_back(L'\0');
  std::wstring target = WideFromUtf8(to);
  target.push_back(L'\0');
  SHFILEOPSTRUCTW op{};
  op.hwnd = nullptr;
  op.wFunc = FO_COPY;
  op.pFrom = source.c_str();
  op.pTo = target.c_str();
  op.fFlags = flags;
  op.lpszProgressTitle = nullptr;
  return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

std::int64_t FileTimeMs(const FILETIME& time) {
  const std::int64_t ticks =
      (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  // 100-nanosecond ticks since 1601 to milliseconds since 1970.
  return ticks / 10000 - 11644473600000LL;
}

bool IsDots(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// CreateProcessW wants a writable command line.
bool Start(const std::string& command_line, DWORD flags, const STARTUPINFOW& start,
           PROCESS_INFORMATION& info) {
  std::wstring line = WideFromUtf8(command_line);
  line.push_back(L'\0');
  STARTUPINFOW si = start;
  return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si,
                        &info) != FALSE;
}

}  // namespace

std::string Win32Os::SystemFolderPath(SystemFolder which) const {
  switch (which) {
    case SystemFolder::RoamingAppData:
      return FolderByCsidl(CSIDL_APPDATA);
    case SystemFolder::ProgramFiles:
      return FolderByCsidl(CSIDL_PROGRAM_FILES);
    case SystemFolder::System:
      return FolderByCsidl(CSIDL_SYSTEM);
    case SystemFolder::SystemApps: {
      std::string windows = FolderByCsidl(CSIDL_WINDOWS);
      if (windows.empty() || windows.back() != '\\') windows.push_back('\\');
      return windows + "SystemApps";
    }
  }
  return {};
}

std::string Win32Os::FullPath(const std::string& path) const {
  const std::wstring wide = WideFromUtf8(path);
  const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return {};
  std::wstring out(need, L'\0');
  const DWORD got = GetFullPathNameW(wide.c_str(), need, out.data(), nullptr);
  if (got == 0 || got >= need) return {};
  out.resize(got);
  return Utf8FromWide(out);
}

bool Win32Os::IsValidFilePath(const std::string& path) const {
  std::wstring rest = WideFromUtf8(path);
  for (;;) {
    const std::size_t delimiter = rest.find_last_of(L"\\/");
    SetLastError(0);
    MoveFileW(nullptr, rest.c_str());
    if (GetLastError() == ERROR_ALREADY_EXISTS) return false;
    const std::wstring component =
        delimiter == std::wstring::npos ? rest : rest.substr(delimiter + 1);
    if (GetFileAttributesW(component.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_INVALID_NAME) {
      return false;
    }
    if (delimiter == std::wstring::npos) return true;
    rest.resize(delimiter);
  }
}

std::int64_t Win32Os::FileEntrySize(const std::string& path) const {
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileW(WideFromUtf8(path).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return -1;
  FindClose(find);
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::vector<DirectoryEntry>> Win32Os::ListDirectory(const std::string& dir,
                                                                  const std::string& mask) const {
  const DWORD attributes = GetFileAttributesW(WideFromUtf8(dir).c_str());
  if (dir.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::nullopt;
  }
  std::string pattern = dir;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern.push_back('\\');
  pattern += mask;
  std::vector<DirectoryEntry> out;
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileW(WideFromUtf8(pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    if (IsDots(data.cFileName)) continue;
    out.push_back(
        {Utf8FromWide(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return out;
}

std::optional<std::int64_t> Win32Os::LastWriteTimeMs(const std::string& path) const {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() ||
      !GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  return FileTimeMs(data.ftLastWriteTime);
}

bool Win32Os::CopyFileTo(const std::string& from, const std::string& to) {
  return ShellCopy(from, to, FOF_FILESONLY | FOF_NOCONFIRMATION);
}

bool Win32Os::CopyDirectoryTo(const std::string& from, const std::string& to) {
  return ShellCopy(from, to, FOF_SILENT | FOF_NOCONFIRMATION | FOF_FILESONLY | FOF_NOCONFIRMMKDIR);
}

std::string Win32Os::ShellLinkTarget(const std::string& path) {
  // The shell link object needs COM on this thread; join whatever is there.
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  const HRESULT created = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IShellLinkW, reinterpret_cast<void**>(&link));
  if (FAILED(created) || link == nullptr) {
    if (SUCCEEDED(init)) CoUninitialize();
    throw std::runtime_error("Cannot create the shell link object");
  }
  std::string target;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (SUCCEEDED(file->Load(WideFromUtf8(path).c_str(), STGM_READ))) {
      wchar_t buf[MAX_PATH] = {};
      if (SUCCEEDED(link->GetPath(buf, MAX_PATH, nullptr, SLGP_UNCPRIORITY))) {
        target = Utf8FromWide(buf);
      }
    }
    file->Release();
  }
  link->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  return target;
}

std::uint32_t Win32Os::RunAndWait(const std::string& command_line) {
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESHOWWINDOW;
  start.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  if (!Start(command_line, 0, start, info)) return 0;
  DWORD code = 0;
  if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(info.hProcess, &code)) {
    code = 0;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
}

bool Win32Os::StartProcess(const std::string& command_line, bool wait) {
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION info{};
  if (!Start(command_line, CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, start, info)) {
    return false;
  }
  if (wait) WaitForSingleObject(info.hProcess, INFINITE);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

std::string Win32Os::ComputerName() const {
  wchar_t buf[256] = {};
  DWORD size = 256;
  if (!GetComputerNameW(buf, &size)) return {};
  return Utf8FromWide(std::wstring_view(buf, size));
}

std::optional<std::string> Win32Os::UserName() const {
  wchar_t buf[260] = {};
  DWORD size = 260;
  if (!GetUserNameW(buf, &size) || size == 0) return std::nullopt;
  // The count includes the terminating NUL.
  return Utf8FromWide(std::wstring_view(buf, size - 1));
}

std::string Win32Os::DecimalSeparator() const {
  wchar_t buf[8] = {};
  const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
  if (n <= 1) return ".";
  return Utf8FromWide(std::wstring_view(buf, static_cast<std::size_t>(n - 1)));
}

}  // namespace tessel::platform
