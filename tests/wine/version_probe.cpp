// Prints version information of an executable as the platform reads it:
// version_probe FILE KEY -> the value of \StringFileInfo\040904E4\KEY;
// version_probe FILE fixed -> "FILE_VERSION PRODUCT_VERSION" of the fixed
// part (\), e.g. "1.2.3.4 1.0.0.0".
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
    std::fprintf(stderr, "no version information (error %lu)\n", GetLastError());
    return 1;
  }
  if (std::wstring(argv[2]) == L"fixed") {
    void* fixed = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(info.data(), L"\\", &fixed, &size) || size < sizeof(VS_FIXEDFILEINFO)) {
      std::fprintf(stderr, "no fixed version information\n");
      return 1;
    }
    const auto* f = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    std::printf("%u.%u.%u.%u %u.%u.%u.%u\n", HIWORD(f->dwFileVersionMS), LOWORD(f->dwFileVersionMS),
                HIWORD(f->dwFileVersionLS), LOWORD(f->dwFileVersionLS),
                HIWORD(f->dwProductVersionMS), LOWORD(f->dwProductVersionMS),
                HIWORD(f->dwProductVersionLS), LOWORD(f->dwProductVersionLS));
    return 0;
  }
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + argv[2];
  void* value = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &chars) || value == nullptr) {
    std::fprintf(stderr, "no value %ls\n", argv[2]);
    return 1;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(value), -1, nullptr,
                                       0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(value), -1, text.data(), size,
                      nullptr, nullptr);
  std::printf("%s\n", text.c_str());
  return 0;
}
