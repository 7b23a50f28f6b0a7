// The system helpers no part of the runtime calls: more folders, path and
// size queries, copies, listings, process starts, names and byte counts.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/os.h"
#include "platform/ui.h"
#include "shared/sys_utils.h"

namespace tessel::shared {
namespace {

using platform::CurrentOs;
using platform::OsFamily;
using platform::SystemFolder;

std::string WithSeparator(std::string path) {
  const char sep = CurrentOs().PathSeparator();
  if (path.empty() || path.back() != sep) path.push_back(sep);
  return path;
}

std::filesystem::path Utf8Path(const std::string& text) {
  return {std::u8string(text.begin(), text.end())};
}

// Whether `name` counts as relative in the way the shell's path rules say:
// on Windows a rooted "\x" or a drive "C:" is not relative either.
bool IsRelative(const std::string& name) {
  platform::Os& os = CurrentOs();
  if (os.IsAbsolutePath(name)) return false;
  if (os.Family() == OsFamily::Windows) {
    if (!name.empty() && (name[0] == '\\' || name[0] == '/')) return false;
    if (name.size() >= 2 && name[1] == ':') return false;
  }
  return true;
}

// Removes "." steps and lets each ".." take away the step before it (never
// the root or a drive), by name only.
std::string Canonicalize(const std::string& path) {
  platform::Os& os = CurrentOs();
  const bool windows = os.Family() == OsFamily::Windows;
  const auto is_sep = [&](char c) { return c == '/' || (windows && c == '\\'); };
  const char sep = os.PathSeparator();
  std::size_t root_end = 0;
  if (windows && path.size() >= 2 && path[1] == ':') root_end = 2;
  while (root_end < path.size() && is_sep(path[root_end])) ++root_end;
  std::vector<std::string> steps;
  std::size_t start = root_end;
  while (start < path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_sep(path[end])) ++end;
    const std::string step = path.substr(start, end - start);
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
    start = end + 1;
  }
  const bool trailing = path.size() > root_end && is_sep(path.back());
  std::string out = path.substr(0, root_end);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) out.push_back(sep);
    out += steps[i];
  }
  if (trailing && !steps.empty()) out.push_back(sep);
  return out;
}

std::int64_t DirectoryTotal(const std::string& dir, bool include_subdirs) {
  std::vector<std::string> entries;
  TSysUtils::GetDirectoryFiles(dir, include_subdirs, entries, "*.*");
  std::int64_t total = 0;
  for (const std::string& entry : entries) {
    // An entry that went away after the listing adds nothing rather than -1.
    const std::int64_t size = TSysUtils::GetSizeOfFile(entry);
    if (size > 0) total += size;
  }
  return total;
}

std::runtime_error FileError(const std::string& what, const std::string& path) {
  platform::Os& os = CurrentOs();
  return std::runtime_error(what + " \"" + path + "\". " + os.ErrorText(os.LastErrorCode()));
}

std::string TempPathBeside(const std::string& path) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device random;
  std::string suffix = ".tmp-";
  const std::uint32_t r = random();
  for (int shift = 28; shift >= 0; shift -= 4) suffix += kDigits[(r >> shift) & 0xF];
  return path + suffix;
}

}  // namespace

bool TSysUtils::ShellOpen(const std::string& file_path) {
  return CurrentOs().ShellStart(file_path, "");
}

void TSysUtils::RestartApplication() {
  ShellOpen(CurrentOs().ExecutablePath());
  platform::CurrentUi().QuitApplication();
}

std::string TSysUtils::GetUserAppDataDirPath() {
  return WithSeparator(CurrentOs().SystemFolderPath(SystemFolder::RoamingAppData));
}

std::string TSysUtils::GetProgramFilesDirPath() {
  return WithSeparator(CurrentOs().SystemFolderPath(SystemFolder::ProgramFiles));
}

std::string TSysUtils::GetSystemAppsDirPath() {
  return WithSeparator(CurrentOs().SystemFolderPath(SystemFolder::SystemApps));
}

std::string TSysUtils::GetParentDirPath(const std::string& path) {
  platform::Os& os = CurrentOs();
  return WithSeparator(os.FullPath(path + os.PathSeparator() + ".."));
}

std::string TSysUtils::ExpandFileNameRelBaseDir(const std::string& file_name,
                                                const std::string& base_dir) {
  const std::string joined =
      IsRelative(file_name) ? WithSeparator(base_dir) + file_name : file_name;
  return Canonicalize(joined);
}

bool TSysUtils::IsValidFilePath(const std::string& file_name) {
  return CurrentOs().IsValidFilePath(file_name);
}

std::int64_t TSysUtils::GetSizeOfFile(const std::string& file_path) {
  return CurrentOs().FileEntrySize(file_path);
}

std::int64_t TSysUtils::GetSizeOfDir(const std::string& dir_path, bool include_subdirs) {
  return DirectoryTotal(dir_path, include_subdirs);
}

void TSysUtils::GetDirectoryFiles(const std::string& root_dir, bool include_dirs,
                                  std::vector<std::string>& file_list,
                                  const std::string& file_mask) {
  file_list.clear();
  const auto entries = CurrentOs().ListDirectory(root_dir, file_mask);
  if (!entries) return;
  const std::string prefix = WithSeparator(root_dir);
  if (include_dirs) {
    for (const platform::DirectoryEntry& e : *entries) {
      if (e.is_directory) file_list.push_back(prefix + e.name);
    }
  }
  for (const platform::DirectoryEntry& e : *entries) {
    if (!e.is_directory) file_list.push_back(prefix + e.name);
  }
}

std::int64_t TSysUtils::GetSubdirectoriesCount(const std::string& dir_path) {
  const auto entries = CurrentOs().ListDirectory(dir_path, "*.*");
  if (!entries) return 0;
  std::int64_t count = 0;
  for (const platform::DirectoryEntry& e : *entries) count += e.is_directory ? 1 : 0;
  return count;
}

bool TSysUtils::FilesHaveSameDateTime(const std::string& file1_path,
                                      const std::string& file2_path) {
  platform::Os& os = CurrentOs();
  const auto first = os.LastWriteTimeMs(file1_path);
  if (!first) throw FileError("Cannot read the time of", file1_path);
  const auto second = os.LastWriteTimeMs(file2_path);
  if (!second) throw FileError("Cannot read the time of", file2_path);
  return *first == *second;
}

bool TSysUtils::CopyFile(const std::string& from_path, const std::string& to_path) {
  return CurrentOs().CopyFileTo(from_path, to_path);
}

bool TSysUtils::CopyDirectory(const std::string& from_dir_path, const std::string& to_dir_path) {
  return CurrentOs().CopyDirectoryTo(from_dir_path, to_dir_path);
}

void TSysUtils::RemoveUTFBoomFromFile(const std::string& file_path) {
  const std::filesystem::path path = Utf8Path(file_path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError("Cannot open file", file_path);
  char head[3] = {};
  in.read(head, 3);
  if (in.gcount() < 3) throw std::runtime_error("Stream read error");
  if (head[0] != '\xEF' || head[1] != '\xBB' || head[2] != '\xBF') return;

  // The rest goes to a new file that replaces the old one only when whole.
  const std::string temp = TempPathBeside(file_path);
  const std::filesystem::path temp_path = Utf8Path(temp);
  try {
    {
      std::ofstream out(temp_path, std::ios::binary | std::ios::trunc);
      if (!out) throw FileError("Cannot create file", temp);
      std::vector<char> buffer(1 << 20);
      while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        out.write(buffer.data(), in.gcount());
      }
      if (in.bad()) throw std::runtime_error("Stream read error");
      out.close();
      if (!out) throw FileError("Cannot write file", temp);
    }
    in.close();
    std::error_code ec;
    const auto perms = std::filesystem::status(path, ec).permissions();
    if (!ec) std::filesystem::permissions(temp_path, perms, ec);
    std::filesystem::rename(temp_path, path, ec);
    if (ec) throw std::runtime_error("Cannot write file \"" + file_path + "\". " + ec.message());
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temp_path, ignored);
    throw;
  }
}

std::string TSysUtils::GetLnkFilePath(const std::string& lnk_file_path) {
  return CurrentOs().ShellLinkTarget(lnk_file_path);
}

std::uint32_t TSysUtils::ExecAndWait(const std::string& command_line) {
  return CurrentOs().RunAndWait(command_line);
}

void TSysUtils::ExecCmd(const std::string& cmd, bool wait) { CurrentOs().StartProcess(cmd, wait); }

void TSysUtils::EditWithMSPaint(const std::string& file_path) {
  platform::Os& os = CurrentOs();
  if (os.Family() != OsFamily::Windows) {
    os.ShellStart(file_path, "");
    return;
  }
  const std::string paint =
      WithSeparator(os.SystemFolderPath(SystemFolder::System)) + "mspaint.exe";
  std::error_code ec;
  if (std::filesystem::is_regular_file(Utf8Path(paint), ec)) {
    ShellExec(paint, "\"" + file_path + "\"");
  }
}

bool TSysUtils::ExtractExeIcon(const std::string& file_path, platform::Bitmap& bitmap) {
  return platform::CurrentUi().ExtractFileIcon(file_path, bitmap);
}

int TSysUtils::TrueFontWidth(const platform::FontSpec& a_font, const std::string& str) {
  return platform::CurrentUi().TextWidth(a_font, str);
}

void TSysUtils::PressKey(int virtual_key) { platform::CurrentUi().PressKey(virtual_key); }

std::string TSysUtils::GetComputerNetName() { return CurrentOs().ComputerName(); }

std::string TSysUtils::GetUserFromWindows() { return CurrentOs().UserName().value_or("Unknown"); }

std::string TSysUtils::FormatByteSize(std::int64_t bytes) {
  struct Unit {
    std::int64_t size;
    const char* name;
  };
  static constexpr Unit kUnits[] = {
      {std::int64_t{1} << 30, " GB"}, {std::int64_t{1} << 20, " MB"}, {1024, " KB"}};
  for (const Unit& unit : kUnits) {
    if (bytes <= unit.size) continue;
    // Integer arithmetic, so halves round up exactly as written in decimal.
    std::int64_t whole = bytes / unit.size;
    std::int64_t hundredths = ((bytes % unit.size) * 100 + unit.size / 2) / unit.size;
    if (hundredths == 100) {
      ++whole;
      hundredths = 0;
    }
    std::string out = std::to_string(whole);
    if (hundredths != 0) {
      out += CurrentOs().DecimalSeparator();
      out.push_back(static_cast<char>('0' + hundredths / 10));
      if (hundredths % 10 != 0) out.push_back(static_cast<char>('0' + hundredths % 10));
    }
    return out + unit.name;
  }
  return std::to_string(bytes) + " bytes";
}

}  // namespace tessel::shared
