#include "platform/fake/fake_os.h"

#include <algorithm>
#include <cctype>

namespace tessel::platform {
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t ValidUtf8Sequence(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
  }
  return len;
}

class FakeConsoleProcess : public ConsoleProcess {
 public:
  FakeConsoleProcess(std::vector<std::string> chunks, int& waits)
      : chunks_(std::move(chunks)), waits_(waits) {}

  int Read(char* buf, int max) override {
    while (next_ < chunks_.size() && offset_ == chunks_[next_].size()) {
      ++next_;
      offset_ = 0;
    }
    if (next_ == chunks_.size() || max <= 0) return 0;
    const std::string& chunk = chunks_[next_];
    const std::size_t n = std::min(chunk.size() - offset_, static_cast<std::size_t>(max));
    std::copy_n(chunk.data() + offset_, n, buf);
    offset_ += n;
    return static_cast<int>(n);
  }

  void Wait() override { ++waits_; }

 private:
  std::vector<std::string> chunks_;
  int& waits_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace

std::string FakeOs::AnsiToUtf8(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size());
  if (ansi_is_utf8) {
    while (!bytes.empty()) {
      const std::size_t n = ValidUtf8Sequence(bytes);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        bytes.remove_prefix(1);
      } else {
        out.append(bytes.substr(0, n));
        bytes.remove_prefix(n);
      }
    }
    return out;
  }
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

std::string FakeOs::ShellFolderPath(ShellFolder which) const {
  switch (which) {
    case ShellFolder::LocalAppData:
      return local_app_data_path;
    case ShellFolder::Desktop:
      return desktop_path;
    case ShellFolder::Documents:
      return documents_path;
  }
  return {};
}

bool FakeOs::RemoveDirectoryTree(const std::string& path) {
  removed_directories.push_back(path);
  return remove_directory_result;
}

bool FakeOs::ShellStart(const std::string& file, const std::string& args) {
  shell_starts.push_back({file, args});
  return shell_start_result;
}

bool FakeOs::StartWithVariable(const std::string& file, const std::string& args,
                               const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) return false;
  variable_starts.push_back({file, args, name, value});
  return start_with_variable_result;
}

bool FakeOs::SecureRandom(std::span<std::uint8_t> out) const {
  if (secure_random_fails) return false;
  for (std::uint8_t& b : out) b = next_random_byte++;
  return true;
}

bool FakeOs::ShellShowInFolder(const std::string& file) {
  shown_in_folder.push_back(file);
  return show_in_folder_result;
}

std::unique_ptr<ConsoleProcess> FakeOs::StartConsole(const std::vector<std::string>& argv,
                                                     const std::string& working_dir,
                                                     bool show_window, ConsoleStartError* error) {
  console_starts.push_back({argv, working_dir, show_window});
  if (console_start_fails) {
    if (error != nullptr) *error = console_start_error;
    return nullptr;
  }
  return std::make_unique<FakeConsoleProcess>(console_output, console_waits);
}

std::size_t FakeOs::IncompleteAnsiTail(std::string_view bytes) const {
  return ansi_is_utf8 ? Utf8IncompleteTail(bytes) : 0;
}

InstanceLock FakeOs::AcquireInstanceLock(const std::string& name) {
  if (instance_lock_fails || name.empty()) return InstanceLock::Failed;
  return held_instance_locks.insert(name).second ? InstanceLock::Acquired
                                                 : InstanceLock::AlreadyHeld;
}

bool FakeOs::CreateDirectories(const std::string& path) {
  created_directories.push_back(path);
  return create_directories_result;
}

std::string FakeOs::GetEnv(const std::string& name) const {
  const auto it = environment.find(name);
  return it != environment.end() ? it->second : std::string();
}

bool FakeOs::SetEnv(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) return false;
  environment[name] = value;
  return true;
}

bool FakeOs::UnsetEnv(const std::string& name) {
  if (name.empty() || name.find('=') != std::string::npos) return false;
  environment.erase(name);
  return true;
}

std::vector<std::string> FakeOs::CommandLineArguments(int argc, const char* const* argv) const {
  if (command_line_arguments) return *command_line_arguments;
  std::vector<std::string> out;
  for (int i = 0; argv != nullptr && i < argc && argv[i] != nullptr; ++i) out.emplace_back(argv[i]);
  return out;
}

bool FakeOs::IsAbsolutePath(std::string_view path) const {
  if (family == OsFamily::Posix) return !path.empty() && path.front() == '/';
  const auto is_sep = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      is_sep(path[2])) {
    return true;
  }
  return path.size() >= 2 && is_sep(path[0]) && is_sep(path[1]);
}

namespace {

// '*' any run, '?' one byte; "*.*" matches every name, as on Windows.
bool MaskMatches(std::string_view mask, std::string_view name) {
  if (mask == "*.*") return true;
  std::size_t m = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

std::string FakeOs::SystemFolderPath(SystemFolder which) const {
  const auto it = system_folders.find(which);
  return it != system_folders.end() ? it->second : std::string();
}

std::string FakeOs::FullPath(const std::string& path) const {
  const bool windows = family == OsFamily::Windows;
  const auto is_sep = [&](char c) { return c == '/' || (windows && c == '\\'); };
  std::string full = IsAbsolutePath(path) ? path : current_dir + path_separator + path;
  const std::size_t drive = (windows && full.size() >= 2 && full[1] == ':') ? 2 : 0;
  std::size_t root = drive;
  while (root < full.size() && is_sep(full[root])) ++root;
  std::vector<std::string> steps;
  for (std::size_t start = root; start < full.size();) {
    std::size_t end = start;
    while (end < full.size() && !is_sep(full[end])) ++end;
    const std::string step = full.substr(start, end - start);
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
    start = end + 1;
  }
  std::string out = full.substr(0, drive);
  if (root > drive) out.push_back(path_separator);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) out.push_back(path_separator);
    out += steps[i];
  }
  return out;
}

std::int64_t FakeOs::FileEntrySize(const std::string& path) const {
  const auto it = entry_sizes.find(path);
  return it != entry_sizes.end() ? it->second : -1;
}

std::optional<std::vector<DirectoryEntry>> FakeOs::ListDirectory(const std::string& dir,
                                                                 const std::string& mask) const {
  const auto it = directories.find(dir);
  if (it == directories.end()) return std::nullopt;
  std::vector<DirectoryEntry> out;
  for (const DirectoryEntry& e : it->second) {
    if (MaskMatches(mask, e.name)) out.push_back(e);
  }
  return out;
}

std::optional<std::int64_t> FakeOs::LastWriteTimeMs(const std::string& path) const {
  const auto it = write_times_ms.find(path);
  if (it == write_times_ms.end()) return std::nullopt;
  return it->second;
}

bool FakeOs::CopyFileTo(const std::string& from, const std::string& to) {
  copied_files.push_back({from, to});
  return copy_result;
}

bool FakeOs::CopyDirectoryTo(const std::string& from, const std::string& to) {
  copied_directories.push_back({from, to});
  return copy_result;
}

std::string FakeOs::ShellLinkTarget(const std::string& path) {
  const auto it = link_targets.find(path);
  return it != link_targets.end() ? it->second : std::string();
}

std::uint32_t FakeOs::RunAndWait(const std::string& command_line) {
  runs.push_back(command_line);
  return run_exit_code;
}

bool FakeOs::StartProcess(const std::string& command_line, bool wait) {
  started_processes.push_back({command_line, wait});
  return start_process_result;
}

std::unique_ptr<FakeOs> MakeFakeOs() { return std::make_unique<FakeOs>(); }

}  // namespace tessel::platform
