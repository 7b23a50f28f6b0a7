// Whether a Windows test runs under Wine, whose system calls differ from
// Windows' in a few documented ways the tests allow for.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace tessel::test {

inline bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace tessel::test
