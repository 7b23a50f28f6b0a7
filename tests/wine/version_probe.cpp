// Prints one version string of an executable as the platform reads it:
// version_probe FILE KEY -> the value of \StringFileInfo\040904E4\KEY.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  DWORD handle = 0;
  std::vector<unsigned char> info(GetFileVersionInfoSizeW(argv[1], &handle));
  if (info.empty() ||
      !GetFileVersionInfoW(argv[1], 0, static_cast<DWORD>(info.size()), info.data())) {
    return 1;
  }
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + argv[2];
  void* value = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &chars) || value == nullptr) return 1;
  const int size = WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(value), -1, nullptr,
                                       0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(value), -1, text.data(), size,
                      nullptr, nullptr);
  std::printf("%s\n", text.c_str());
  return 0;
}
