// Shell links made with the shell's own link object, read back through
// TSysUtils (runs under Wine).
#include <windows.h>
// windows.h first: these need its types.
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/win32/win32_os.h"
#include "shared/sys_utils.h"

namespace tessel::platform {
namespace {

namespace fs = std::filesystem;

bool MakeLink(const std::wstring& link_path, const std::wstring& target) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return false;
  }
  IPersistFile* file = nullptr;
  bool ok = SUCCEEDED(link->SetPath(target.c_str())) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
  if (file != nullptr) {
    ok = ok && SUCCEEDED(file->Save(link_path.c_str(), TRUE));
    file->Release();
  }
  link->Release();
  return ok;
}

TEST(ShellLinks, TheTargetOfALinkMadeByTheShell) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  const fs::path dir =
      fs::temp_directory_path() /
      ("tessel-lnk-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir);
  const fs::path target = dir / L"target file.txt";
  std::ofstream(target) << "x";
  const fs::path link = dir / L"shortcut.lnk";
  ASSERT_TRUE(MakeLink(link.wstring(), target.wstring()));

  EXPECT_EQ(shared::TSysUtils::GetLnkFilePath(Utf8FromWide(link.wstring())),
            Utf8FromWide(target.wstring()));
  // Not a link, or nothing there: no target.
  EXPECT_EQ(shared::TSysUtils::GetLnkFilePath(Utf8FromWide(target.wstring())), "");
  EXPECT_EQ(shared::TSysUtils::GetLnkFilePath(Utf8FromWide((dir / L"none.lnk").wstring())), "");
  fs::remove_all(dir);
  CoUninitialize();
}

TEST(IsValidFilePath, RejectsNamesTheFileSystemCannotHold) {
  const std::pair<const char*, bool> cases[] = {
      {"C:\\dir\\file.txt", true},   {"relative\\name.txt", true}, {"C:\\dir\\a?b.txt", false},
      {"C:\\di*r\\file.txt", false}, {"C:\\dir\\a<b", false},      {"C:\\dir\\a\"b", false},
  };
  for (const auto& [path, valid] : cases) {
    EXPECT_EQ(shared::TSysUtils::IsValidFilePath(path), valid) << path;
  }
}

// Every Windows file converts through wide_text.h instead of the system's
// own calls: on valid text both must agree exactly.
TEST(WideText, AgreesWithTheSystemOnValidText) {
  const std::string cases[] = {"",
                               "plain",
                               "Gr\xC3\xBC\xC3\x9F!",
                               "\xE6\x97\xA5\xE6\x9C\xAC",
                               "beyond the BMP: \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
                               std::string("a\0b", 3)};
  for (const std::string& text : cases) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
    std::wstring system(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        system.data(), n);
    EXPECT_EQ(WideFromUtf8(text), system) << text;
    EXPECT_EQ(Utf8FromWide(system), text) << text;
  }
}

TEST(WideText, InvalidInputBecomesReplacementCharacters) {
  EXPECT_EQ(WideFromUtf8("\xFF"), L"\xFFFD");
  EXPECT_EQ(WideFromUtf8("a\xC3"), L"a\xFFFD");  // cut inside a character
  const std::wstring lone_surrogate{wchar_t{0xD83D}, L'x'};
  EXPECT_EQ(Utf8FromWide(lone_surrogate), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf8FromWide(static_cast<const wchar_t*>(nullptr)), "");
}

}  // namespace
}  // namespace tessel::platform
