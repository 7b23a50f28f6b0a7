// The registry's MIME data: the "Content Type" of every HKEY_CLASSES_ROOT\.ext
// key, then the "Extension" of every MIME\Database\Content Type\<type> key.
// Keys that cannot be opened or enumerated are passed over; a value that
// exists with a type other than a string ends the walk with an error, as the
// caller's contract says.
#include <windows.h>

#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/win32/win32_os.h"

namespace tessel::platform {
namespace {

class RegKey {
 public:
  RegKey(HKEY parent, const wchar_t* path) {
    if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Calls `fn` with the name of each subkey of `key`, in the registry's order.
template <typename Fn>
void ForEachSubkey(HKEY key, Fn fn) {
  wchar_t name[256];  // a key name has at most 255 characters
  for (DWORD i = 0;; ++i) {
    DWORD len = static_cast<DWORD>(std::size(name));
    const LONG r = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_MORE_DATA) continue;  // a name that does not fit; the next may
    if (r != ERROR_SUCCESS) return;      // ERROR_NO_MORE_ITEMS, or a key we cannot walk
    fn(std::wstring(name, len));
  }
}

// The string value `name` of `key`: nullopt when it does not exist or cannot
// be read, cut at its first NUL. Throws when it exists with a non-string type.
std::optional<std::wstring> ReadString(HKEY key, const wchar_t* name, const char* name_utf8) {
  DWORD type = 0;
  DWORD size = 0;
  LONG r = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (r != ERROR_SUCCESS) return std::nullopt;
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw std::runtime_error(std::string("Invalid data type for '") + name_utf8 + "'");
  }
  std::wstring value;
  for (int attempt = 0; attempt < 4; ++attempt) {  // the value may grow between calls
    value.assign(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    r = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes);
    if (r == ERROR_MORE_DATA) {
      size = bytes;
      continue;
    }
    if (r != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      throw std::runtime_error(std::string("Invalid data type for '") + name_utf8 + "'");
    }
    value.resize(bytes / sizeof(wchar_t));
    const std::size_t nul = value.find(L'\0');
    if (nul != std::wstring::npos) value.resize(nul);
    return value;
  }
  return std::nullopt;
}

}  // namespace

std::vector<MimeMapping> Win32Os::MimeTypesByExtension() const {
  std::vector<MimeMapping> out;
  ForEachSubkey(HKEY_CLASSES_ROOT, [&](const std::wstring& name) {
    if (name.empty() || name.front() != L'.') return;
    const RegKey sub(HKEY_CLASSES_ROOT, name.c_str());
    if (!sub) return;
    const std::optional<std::wstring> type = ReadString(sub.get(), L"Content Type", "Content Type");
    if (type && !type->empty()) out.push_back({Utf8FromWide(name), Utf8FromWide(*type)});
  });
  return out;
}

std::vector<MimeMapping> Win32Os::ExtensionsByMimeType() const {
  std::vector<MimeMapping> out;
  const RegKey db(HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type");
  if (!db) return out;
  ForEachSubkey(db.get(), [&](const std::wstring& name) {
    const RegKey sub(db.get(), name.c_str());
    if (!sub) return;
    const std::optional<std::wstring> ext = ReadString(sub.get(), L"Extension", "Extension");
    if (ext && !ext->empty()) out.push_back({Utf8FromWide(*ext), Utf8FromWide(name)});
  });
  return out;
}

}  // namespace tessel::platform
