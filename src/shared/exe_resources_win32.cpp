// ChangeExeIcon and UpdateExeInfo through the platform's resource-update
// calls.
#include <windows.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32/wide_text.h"
#include "shared/exe_utils.h"
#include "shared/pe_resources.h"
#include "shared/utf.h"

namespace tessel::shared {

namespace {

std::string SystemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n')) {
    message.pop_back();
  }
  if (message.empty()) return "system error " + std::to_string(code);
  return platform::Utf8FromWide(message);
}

std::vector<uint8_t> ReadIconFile(const std::string& ico_path) {
  // Others may read the icon file meanwhile, but not change it.
  const HANDLE file =
      CreateFileW(platform::WideFromUtf8(ico_path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error(SystemErrorText(GetLastError()));
  const std::unique_ptr<void, decltype(&CloseHandle)> closer(file, &CloseHandle);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) throw std::runtime_error(SystemErrorText(GetLastError()));
  if (static_cast<uint64_t>(size.QuadPart) > kMaxIconFileSize) {
    throw std::runtime_error("Icon file is too large");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty() &&
      (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
       read != bytes.size())) {
    throw std::runtime_error(SystemErrorText(GetLastError()));
  }
  return bytes;
}

BOOL CALLBACK FirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  *reinterpret_cast<WORD*>(param) = language;
  return FALSE;  // the first one is enough
}

WORD ResourceLanguage(HMODULE module, LPCWSTR type, LPCWSTR name) {
  WORD language = 0;
  EnumResourceLanguagesW(module, type, name, &FirstLanguage, reinterpret_cast<LONG_PTR>(&language));
  return language;
}

}  // namespace

void TExeUtils::ChangeExeIcon(const std::string& exe_path, const std::string& ico_path) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (GetVersionExW(&version) && version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
    throw std::runtime_error("Only supported on Windows NT and above");
  }
  const std::vector<uint8_t> ico = ReadIconFile(ico_path);
  if (!IsValidIconFile(ico)) throw std::runtime_error("Icon file is invalid");

  const std::wstring exe = platform::WideFromUtf8(exe_path);
  const HANDLE update = BeginUpdateResourceW(exe.c_str(), FALSE);
  if (update == nullptr) throw std::runtime_error("BeginUpdateResource failed (1)");
  HMODULE module = nullptr;
  try {
    module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) throw std::runtime_error("LoadLibraryEx failed (1)");
    const HRSRC found = FindResourceW(module, L"MAINICON", MAKEINTRESOURCEW(kRtGroupIcon));
    if (found == nullptr) throw std::runtime_error("FindResource failed (1)");
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) throw std::runtime_error("LoadResource failed (1)");
    const auto* locked = static_cast<const uint8_t*>(LockResource(loaded));
    if (locked == nullptr) throw std::runtime_error("LockResource failed (1)");
    // A copy: the directory stays readable whatever the module does.
    const std::vector<uint8_t> previous(locked, locked + SizeofResource(module, found));

    const WORD group_language =
        ResourceLanguage(module, MAKEINTRESOURCEW(kRtGroupIcon), L"MAINICON");
    if (!UpdateResourceW(update, MAKEINTRESOURCEW(kRtGroupIcon), L"MAINICON", group_language,
                         nullptr, 0)) {
      throw std::runtime_error("UpdateResource failed (1)");
    }
    const size_t previous_count = previous.size() >= 6 ? (previous[4] | (previous[5] << 8)) : 0;
    for (size_t i = 0; i < previous_count && 6 + 14 * i + 14 <= previous.size(); ++i) {
      const auto id =
          static_cast<WORD>(previous[6 + 14 * i + 12] | (previous[6 + 14 * i + 13] << 8));
      const WORD language =
          ResourceLanguage(module, MAKEINTRESOURCEW(kRtIcon), MAKEINTRESOURCEW(id));
      if (!UpdateResourceW(update, MAKEINTRESOURCEW(kRtIcon), MAKEINTRESOURCEW(id), language,
                           nullptr, 0)) {
        throw std::runtime_error("UpdateResource failed (2)");
      }
    }
    std::vector<uint8_t> directory = BuildGroupIconDirectory(ico, previous);
    for (size_t i = 0; i < IconFileImageCount(ico); ++i) {
      const std::span<const uint8_t> image = IconFileImage(ico, i);
      if (!UpdateResourceW(update, MAKEINTRESOURCEW(kRtIcon),
                           MAKEINTRESOURCEW(static_cast<WORD>(i + 1)), kLangEnUs,
                           const_cast<uint8_t*>(image.data()), static_cast<DWORD>(image.size()))) {
        throw std::runtime_error("UpdateResource failed (3)");
      }
    }
    if (!UpdateResourceW(update, MAKEINTRESOURCEW(kRtGroupIcon), L"MAINICON", kLangEnUs,
                         directory.data(), static_cast<DWORD>(directory.size()))) {
      throw std::runtime_error("UpdateResource failed (4)");
    }
    FreeLibrary(module);
    module = nullptr;
  } catch (...) {
    if (module != nullptr) FreeLibrary(module);
    EndUpdateResourceW(update, TRUE);
    throw;
  }
  if (!EndUpdateResourceW(update, FALSE)) throw std::runtime_error("EndUpdateResource failed");
}

bool TExeUtils::UpdateExeInfo(const std::string& exe_path, const std::string& company_name,
                              const std::string& file_description, const std::string& file_version,
                              const std::string& internal_name, const std::string& legal_copyright,
                              const std::string& legal_trademarks,
                              const std::string& original_file_name, const std::string& program_id,
                              const std::string& product_name, const std::string& product_version,
                              const std::string& comments) {
  const std::wstring exe = platform::WideFromUtf8(exe_path);
  if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
  if (size == 0) return false;
  std::vector<uint8_t> info(size);
  if (!GetFileVersionInfoW(exe.c_str(), 0, size, info.data())) return false;

  const std::array<const std::string*, 11> texts = {
      &company_name,     &file_description,   &file_version, &internal_name, &legal_copyright,
      &legal_trademarks, &original_file_name, &program_id,   &product_name,  &product_version,
      &comments};
  // The numeric versions follow the texts that read as numbers.
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
      fixed_size < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE) {
    fixed = nullptr;
  }
  void* translations = nullptr;
  UINT translations_size = 0;
  if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &translations,
                     &translations_size) &&
      translations != nullptr) {
    for (UINT t = 0; t + 4 <= translations_size; t += 4) {
      const auto* pair = static_cast<const uint8_t*>(translations) + t;
      wchar_t table[9];
      swprintf(table, 9, L"%04X%04X", pair[0] | (pair[1] << 8), pair[2] | (pair[3] << 8));
      for (size_t k = 0; k < texts.size(); ++k) {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\") + table + L"\\" +
                                  std::wstring(kVersionKeys[k].begin(), kVersionKeys[k].end());
        void* value = nullptr;
        UINT chars = 0;
        if (!VerQueryValueW(info.data(), path.c_str(), &value, &chars) || value == nullptr ||
            chars == 0) {
          continue;
        }
        const std::u16string text = utf::Utf8ToUtf16(*texts[k]);
        // Never past the value's room: a text that does not fit is not written.
        if (text.size() > chars - 1) continue;
        std::memset(value, 0, sizeof(wchar_t) * chars);
        std::memcpy(value, text.data(), sizeof(char16_t) * text.size());
        const bool file = texts[k] == &file_version;
        if (fixed != nullptr && (file || texts[k] == &product_version)) {
          if (const std::optional<TVersionNumber> number = ParseVersionNumber(text)) {
            PutFixedVersion(reinterpret_cast<uint8_t*>(fixed), file, *number);
          }
        }
      }
    }
  }

  const HANDLE update = BeginUpdateResourceW(exe.c_str(), FALSE);
  if (update == nullptr) return false;
  const bool written = UpdateResourceW(update, MAKEINTRESOURCEW(kRtVersion), MAKEINTRESOURCEW(1), 0,
                                       info.data(), size) != FALSE;
  return EndUpdateResourceW(update, written ? FALSE : TRUE) != FALSE && written;
}

}  // namespace tessel::shared
