// dialogs.openFile (20001) and dialogs.saveFile (20002).
#include <nlohmann/json.hpp>

#include "shared/bridge_commands.h"
#include "shared/browser_external_module.h"
#include "shared/str_utils.h"

namespace tessel::shared {

std::vector<TFileType> ParseFileTypes(std::string_view file_types) {
  std::vector<TFileType> types;
  for (const std::string& item : TStrUtils::ExplodeStrings(";", file_types)) {
    TArrayStrings parts = TStrUtils::ExplodeStrings("|", item);
    if (parts.size() == 2) types.push_back({std::move(parts[0]), std::move(parts[1])});
  }
  return types;
}

void TBrowserExternalModule::HandleDialogsOpenFile(const std::string& uuid,
                                                   const nlohmann::json& data) {
  HandleFileDialog(uuid, data, /*save=*/false);
}

void TBrowserExternalModule::HandleDialogsSaveFile(const std::string& uuid,
                                                   const nlohmann::json& data) {
  HandleFileDialog(uuid, data, /*save=*/true);
}

void TBrowserExternalModule::HandleFileDialog(const std::string& uuid, const nlohmann::json& data,
                                              bool save) {
  // Every property is set afresh; only the chosen type index carries over.
  TFileDialogRequest request;
  request.file_name = ArgString(data, "fileName", "");
  request.title = ArgString(data, "title", save ? "Save file" : "Open file");
  request.file_types = ParseFileTypes(ArgString(data, "fileTypes", ""));
  if (save) request.overwrite_prompt = ArgBool(data, "overwritePrompt", false);
  std::size_t& type_index = save ? FSaveFileTypeIndex : FOpenFileTypeIndex;
  request.file_type_index = type_index;

  // The dialog's modal loop may dispatch another dialog request. It is
  // answered at once as cancelled rather than stacking a second dialog on
  // the shared one, so each call still gets exactly one reply.
  if (FDialogOpen || !FFileDialogs) {
    ReplySuccess(uuid, TStrUtils::StringToJsonString(""));
    return;
  }

  std::optional<std::string> path;
  const std::weak_ptr<int> alive = FAlive;
  FDialogOpen = true;
  try {
    path = save ? FFileDialogs->SaveFile(request) : FFileDialogs->OpenFile(request);
  } catch (...) {
    path.reset();  // a dialog that failed counts as cancelled
  }
  // The modal loop may have run a close request that destroyed the module.
  if (alive.expired()) return;
  FDialogOpen = false;
  type_index = request.file_type_index;
  ReplySuccess(uuid, TStrUtils::StringToJsonString(path.value_or("")));
}

}  // namespace tessel::shared
