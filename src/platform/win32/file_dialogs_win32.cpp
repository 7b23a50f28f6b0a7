// The open and save dialogs on Win32: the common item dialogs (IFileDialog),
// owned by the active window. The options set are exactly the overwrite
// prompt or none, in place of the dialogs' defaults.
#include <windows.h>
// windows.h first: shobjidl.h relies on its types.
#include <shobjidl.h>

#include <string>
#include <vector>

#include "platform/win32/main_window_win32.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

// Releases a COM interface at the end of its scope.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_ != nullptr) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** put() { return &p_; }
  void** put_void() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

std::optional<std::string> ShowDialog(bool save, FileDialogOptions& options) {
  ComPtr<IFileDialog> dialog;
  if (FAILED(CoCreateInstance(save ? CLSID_FileSaveDialog : CLSID_FileOpenDialog, nullptr,
                              CLSCTX_INPROC_SERVER, IID_IFileDialog, dialog.put_void()))) {
    return std::nullopt;
  }
  FILEOPENDIALOGOPTIONS flags = 0;
  if (save && options.overwrite_prompt) flags = FOS_OVERWRITEPROMPT;
  dialog->SetOptions(flags);

  std::vector<std::wstring> names;
  std::vector<std::wstring> patterns;
  for (const FileDialogFilter& filter : options.filters) {
    names.push_back(WideFromUtf8(filter.description));
    patterns.push_back(WideFromUtf8(filter.pattern));
  }
  std::vector<COMDLG_FILTERSPEC> types;
  for (std::size_t i = 0; i < names.size(); ++i) {
    types.push_back({names[i].c_str(), patterns[i].c_str()});
  }
  if (!types.empty()) {
    dialog->SetFileTypes(static_cast<UINT>(types.size()), types.data());
    const std::size_t index =
        options.type_index >= 1 && options.type_index <= types.size() ? options.type_index : 1;
    dialog->SetFileTypeIndex(static_cast<UINT>(index));
  }
  if (!options.title.empty()) dialog->SetTitle(WideFromUtf8(options.title).c_str());
  if (!options.file_name.empty()) dialog->SetFileName(WideFromUtf8(options.file_name).c_str());

  std::optional<std::string> chosen;
  if (SUCCEEDED(dialog->Show(GetActiveWindow()))) {
    ComPtr<IShellItem> item;
    PWSTR path = nullptr;
    if (SUCCEEDED(dialog->GetResult(item.put())) &&
        SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
      chosen = Utf8FromWide(path);
      CoTaskMemFree(path);
    }
  }
  UINT selected = 0;
  if (!types.empty() && SUCCEEDED(dialog->GetFileTypeIndex(&selected)) && selected >= 1) {
    options.type_index = selected;
  }
  return chosen;
}

}  // namespace

std::optional<std::string> ShowWin32FileDialog(bool save, FileDialogOptions& options) {
  // The dialogs are COM objects on this (UI) thread's apartment; a thread
  // already in another apartment keeps it.
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  std::optional<std::string> chosen = ShowDialog(save, options);
  if (SUCCEEDED(init)) CoUninitialize();
  return chosen;
}

}  // namespace tessel::platform
