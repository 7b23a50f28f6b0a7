// files.* (30001-30004) and folders.* (40001-40006).
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/engine_basics.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"
#include "platform/os.h"
#include "shared/bridge_commands.h"
#include "shared/browser_external_module.h"
#include "shared/exe_zip.h"
#include "shared/settings.h"
#include "shared/str_utils.h"
#include "shared/sys_utils.h"

namespace tessel::shared {
namespace {

std::string Json(std::string_view text) { return TStrUtils::StringToJsonString(text); }

const char* JsonBool(bool value) { return value ? "true" : "false"; }

std::string CannotCreateFile(const std::string& path, int code) {
  return "Cannot create file \"" + path + "\". " + SystemErrorMessage(code);
}

// Read right after the failed open, before anything else can touch the
// thread's error code.
std::string CannotCreateFile(const std::string& path) {
  return CannotCreateFile(path, platform::CurrentOs().LastErrorCode());
}

// The system would cut such a path at its NUL and act on another file.
bool HasNul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

}  // namespace

std::string ResolveAppPath(std::string_view path, std::string_view app_dir_path) {
  const platform::Os& os = platform::CurrentOs();
  if (os.IsAbsolutePath(path)) return std::string(path);
  std::string relative(path);
  const char separator = os.PathSeparator();
  for (char& c : relative) {
    if (c == '/') c = separator;
  }
  return std::string(app_dir_path) + relative;
}

std::string TextFileBytes(std::string_view contents) {
  std::string bytes = "\xEF\xBB\xBF";
  bytes.reserve(contents.size() + contents.size() / 16 + 8);
  std::size_t start = 0;
  while (start < contents.size()) {
    const std::size_t end = contents.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      bytes.append(contents.substr(start)).append("\r\n");
      break;
    }
    bytes.append(contents.substr(start, end - start)).append("\r\n");
    start = end + (contents.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return bytes;
}

std::string AppExecutableDir() {
  const platform::Os& os = platform::CurrentOs();
  const std::string exe = os.ExecutablePath();
  const std::size_t last = exe.find_last_of(std::string{'/', os.PathSeparator()});
  return last == std::string::npos ? std::string() : exe.substr(0, last + 1);
}

void TBrowserExternalModule::HandleFilesFileExists(const std::string& uuid,
                                                   const nlohmann::json& data) {
  const std::string file_path = ArgString(data, "filePath", "");
  if (file_path.empty()) return ReplyFailure(uuid, Json("Missing filePath"));
  if (HasNul(file_path)) return ReplySuccess(uuid, JsonBool(false));
  const platform::PathKind kind = platform::KindOfPath(ResolvePath(file_path));
  ReplySuccess(
      uuid, JsonBool(kind != platform::PathKind::kNone && kind != platform::PathKind::kDirectory));
}

void TBrowserExternalModule::HandleFilesDeleteFile(const std::string& uuid,
                                                   const nlohmann::json& data) {
  const std::string file_path = ArgString(data, "filePath", "");
  if (file_path.empty()) return ReplyFailure(uuid, Json("Missing filePath"));
  if (HasNul(file_path)) return ReplySuccess(uuid, JsonBool(false));
  // Files only: a folder is never removed here, empty or not.
  ReplySuccess(uuid, JsonBool(platform::RemoveFile(ResolvePath(file_path))));
}

void TBrowserExternalModule::HandleFilesWriteTextFile(const std::string& uuid,
                                                      const nlohmann::json& data) {
  const std::string file_path = ArgString(data, "filePath", "");
  if (file_path.empty()) return ReplyFailure(uuid, Json("Missing filePath"));
  const std::string path = ResolvePath(file_path);
  // A folder that cannot be made shows up as the failure to create the file.
  const std::string folder = platform::ParentPath(path);
  if (!HasNul(path) && !folder.empty()) platform::CreateDirectoryPath(folder);
  const std::string bytes = TextFileBytes(ArgString(data, "contents", ""));

  // All or nothing: a full disk must not leave the file cut short.
  const platform::FileReplaceResult result = platform::ReplaceFileContent(path, bytes);
  switch (result.stage) {
    case platform::FileReplaceResult::Stage::kDone:
      return ReplySuccess(uuid, "true");
    case platform::FileReplaceResult::Stage::kCreate:
      return ReplyFailure(uuid, Json(CannotCreateFile(path, result.error_code)));
    case platform::FileReplaceResult::Stage::kWrite:
      break;
  }
  ReplyFailure(uuid, Json("Stream write error"));
}

std::string TBrowserExternalModule::AppFolderPath(const std::string& name) const {
  std::string path = FAppFolder + name;
  const char sep = platform::CurrentOs().PathSeparator();
  for (std::size_t i = FAppFolder.size(); i < path.size(); ++i) {
    if (path[i] == '/') path[i] = sep;
  }
  return path;
}

void TBrowserExternalModule::HandleFilesExtractFile(const std::string& uuid,
                                                    const nlohmann::json& data) {
  if (!IsRuntime()) return ShowRuntimeOnlyMessage("extractFile");
  const std::string source_file = ArgString(data, "sourceFile", "");
  if (source_file.empty()) return ReplyFailure(uuid, Json("Missing sourceFile"));
  const std::string target_file = ArgString(data, "targetFile", "");
  if (target_file.empty()) return ReplyFailure(uuid, Json("Missing targetFile"));

  // The target is taken as given: a relative one is relative to the current
  // folder, not the application folder. It is created (or emptied) before
  // the entry is looked up, so a missing entry leaves an empty file.
  if (HasNul(target_file)) {
    return ReplyFailure(uuid,
                        Json(CannotCreateFile(target_file, platform::InvalidPathErrorCode())));
  }
  platform::FileHandle out = platform::OpenFile(target_file, "wb");
  if (!out) return ReplyFailure(uuid, Json(CannotCreateFile(target_file)));

  // The page supplies the separator: "/index.html" after "webapp".
  const std::string dir_name =
      FProjectINI != nullptr ? FProjectINI->ReadString("App", "DirName", "") : std::string();
  const std::string entry = dir_name + source_file;
  std::optional<std::string> error_text;
  bool written = true;
  if (FExeZip == nullptr) {
    // The app folder run live: its file, never one outside it.
    const std::optional<std::string> content = platform::HasDotSegment(entry)
                                                   ? std::nullopt
                                                   : platform::ReadWholeFile(AppFolderPath(entry));
    if (!content) {
      out.reset();
      return ReplyFailure(uuid, Json("File not found"));
    }
    written = platform::WriteToFile(out.get(), *content);
  } else {
    // The file is closed before any answer, so the page finds it complete.
    if (FExeZip->FindFile(entry) < 0) {
      out.reset();
      return ReplyFailure(uuid, Json("File not found"));
    }
    // An entry that cannot be read (damaged, another password) leaves the
    // file empty, and that is no error.
    try {
      if (const std::optional<std::string> content = FExeZip->ReadEntry(entry)) {
        written = platform::WriteToFile(out.get(), *content);
      }
    } catch (const std::exception& error) {
      error_text = error.what();
    }
  }
  written = std::fclose(out.release()) == 0 && written;
  if (error_text) return ReplyFailure(uuid, Json(*error_text));
  if (!written) return ReplyFailure(uuid, Json("Stream write error"));
  ReplySuccess(uuid, "true");
}

void TBrowserExternalModule::HandleFoldersDirExists(const std::string& uuid,
                                                    const nlohmann::json& data) {
  const std::string dir_path = ArgString(data, "dirPath", "");
  if (dir_path.empty()) return ReplyFailure(uuid, Json("Missing dirPath"));
  if (HasNul(dir_path)) return ReplySuccess(uuid, JsonBool(false));
  ReplySuccess(uuid, JsonBool(platform::KindOfPath(ResolvePath(dir_path)) ==
                              platform::PathKind::kDirectory));
}

void TBrowserExternalModule::HandleFoldersDeleteDir(const std::string& uuid,
                                                    const nlohmann::json& data) {
  const std::string dir_path = ArgString(data, "dirPath", "");
  if (dir_path.empty()) return ReplyFailure(uuid, Json("Missing dirPath"));
  if (HasNul(dir_path)) return ReplySuccess(uuid, JsonBool(false));
  ReplySuccess(uuid, JsonBool(TSysUtils::DeleteDirectory(ResolvePath(dir_path))));
}

void TBrowserExternalModule::HandleFoldersGetTempDir(const std::string& uuid) {
  ReplySuccess(uuid, Json(TSysUtils::GetTempDirPath()));
}

void TBrowserExternalModule::HandleFoldersGetUserDocumentsDir(const std::string& uuid) {
  ReplySuccess(uuid, Json(TSysUtils::GetUserDocumentsDirPath()));
}

void TBrowserExternalModule::HandleFoldersGetUserDesktopDir(const std::string& uuid) {
  ReplySuccess(uuid, Json(TSysUtils::GetUserDesktopDirPath()));
}

void TBrowserExternalModule::HandleFoldersGetAppExecutableDir(const std::string& uuid) {
  ReplySuccess(uuid, Json(AppExecutableDir()));
}

}  // namespace tessel::shared
