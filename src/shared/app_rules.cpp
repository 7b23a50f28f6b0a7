#include "shared/app_rules.h"

#include <cstdio>
#include <vector>

namespace tessel::shared {
namespace {

constexpr std::string_view kRefusedInId = "/\\<>:\"|?*";

bool IsControl(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}

std::string Hex2(char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
  return buf;
}

// Quoted for a one-line message: a control character would break the line
// or hide itself.
std::string Shown(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    if (IsControl(c)) {
      out += "\\x" + Hex2(c);
    } else {
      out += c;
    }
  }
  return out + "'";
}

bool IsAbsolute(std::string_view path) {
  if (path.starts_with('/') || path.starts_with('\\')) return true;
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return drive;
}

std::vector<std::string_view> SplitAtSlash(std::string_view path) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = path.find('/', start);
    parts.push_back(path.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

std::optional<std::string> AppIdProblem(std::string_view id) {
  if (id.empty()) return "ID is empty";
  const std::string head = "ID " + Shown(id) + " cannot name a folder: ";
  if (id.size() > kMaxAppIdBytes) {
    return head + "it is " + std::to_string(id.size()) + " bytes long; at most " +
           std::to_string(kMaxAppIdBytes) + " are allowed";
  }
  if (id == "." || id == "..") return head + "'" + std::string(id) + "' names a folder already";
  // Windows drops them from folder names: two IDs would share one folder.
  if (id.back() == ' ') return head + "it ends with a blank, which Windows drops";
  if (id.back() == '.') return head + "it ends with '.', which Windows drops";
  for (const char c : id) {
    if (IsControl(c)) return head + "control character \\x" + Hex2(c) + " is not allowed";
    if (kRefusedInId.find(c) != std::string_view::npos) {
      return head + "'" + std::string(1, c) + "' is not allowed";
    }
  }
  return std::nullopt;
}

std::optional<std::string> AppDirNameProblem(std::string_view dir_name) {
  if (dir_name.empty()) return "DirName is empty";
  const std::string shown = "DirName " + Shown(dir_name);
  if (IsAbsolute(dir_name)) {
    return shown + " is an absolute path; name a folder inside the app folder, such as 'webapp'";
  }
  std::string slashed(dir_name);
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  std::string canonical;
  for (const std::string_view part : SplitAtSlash(slashed)) {
    if (part == "..") {
      return shown + " reaches outside the app folder; the web app's folder must be inside it";
    }
    if (part.empty() || part == ".") continue;
    if (!canonical.empty()) canonical += '/';
    canonical += part;
  }
  if (canonical.empty()) {
    return shown + " names the app folder itself; put the web app in a folder of its own, " +
           "such as 'webapp'";
  }
  if (slashed != dir_name) {
    return shown + " cannot be served: archive entries are separated by '/'; write " +
           Shown(canonical);
  }
  if (canonical != dir_name) {
    return shown + " cannot be served: the runtime looks pages up as DirName + '/' + path; write " +
           Shown(canonical);
  }
  return std::nullopt;
}

std::string MakeUsableAppId(std::string_view name) {
  std::string id;
  for (const char c : name) {
    id += IsControl(c) || kRefusedInId.find(c) != std::string_view::npos ? '-' : c;
  }
  if (id.size() > kMaxAppIdBytes) {
    size_t end = kMaxAppIdBytes;
    // Back to the first byte of the character that would be cut.
    while (end > 0 && (static_cast<unsigned char>(id[end]) & 0xC0) == 0x80) --end;
    id.resize(end);
  }
  while (!id.empty() && (id.back() == ' ' || id.back() == '.')) id.pop_back();
  if (id.empty()) return "app";
  return id;
}

}  // namespace tessel::shared
