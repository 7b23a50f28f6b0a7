// On Windows the script is the executable's RCDATA resource
// VTX_EXTERNAL_JAVASCRIPT (language 1033, from resources/tessel.rc), read
// where the image maps it.
#include <windows.h>

#include "shared/bridge_script.h"

namespace tessel::shared {

std::string_view BridgeScript() {
  static const std::string_view script = [] {
    HMODULE module = GetModuleHandleW(nullptr);
    // Language 1033 exactly: a resource editor that adds the script in another
    // language leaves this one in place.
    HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(10), L"VTX_EXTERNAL_JAVASCRIPT",
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (found == nullptr) return std::string_view();
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) return std::string_view();
    return std::string_view(static_cast<const char*>(data), SizeofResource(module, found));
  }();
  return script;
}

}  // namespace tessel::shared
