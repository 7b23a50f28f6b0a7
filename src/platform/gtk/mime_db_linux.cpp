// The system MIME database on Linux stands in for the registry's two passes:
//  - first pass: /etc/mime.types (Debian package media-types), extension ->
//    type as the registry's HKCR\.ext "Content Type" values give it;
//  - second pass: the shared MIME info database (package shared-mime-info),
//    /usr/share/mime/globs2, or the older globs file when globs2 is missing.
//    It is what the desktop itself uses to type files, as the MIME database key
//    is on Windows, so it overrides the first pass (.js becomes
//    application/javascript, .png image/png, .json application/json).
// Only the system-wide files are read, not the user's own
// ~/.local/share/mime, so a packaged app serves the same types to every user
// of a machine. Missing or unreadable files add nothing.
#include "platform/gtk/mime_db_linux.h"

#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/gtk/linux_os.h"

namespace tessel::platform {
namespace {

constexpr std::size_t kMaxFileSize = std::size_t{16} * 1024 * 1024;

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileSize) return {};  // not a MIME database
  }
  return text;
}

// Calls `fn` with each line, without its line break.
template <typename Fn>
void ForEachLine(std::string_view text, Fn fn) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    fn(line);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

bool HasUpperAscii(std::string_view s) {
  for (const char c : s) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

// The extension of a glob that names one: "*.ext" with no other wildcard.
// Globs with a further "." ("*.tar.gz") are left out: a lookup takes the
// extension from the last ".", so they could never match.
std::string_view SimpleExtension(std::string_view glob) {
  if (glob.size() < 3 || glob.substr(0, 2) != "*.") return {};
  const std::string_view ext = glob.substr(2);
  if (ext.find_first_of("*?[]\\.") != std::string_view::npos) return {};
  return ext;
}

// Splits at ':' into at most `n` fields; the last one keeps the rest.
std::vector<std::string_view> SplitFields(std::string_view line, std::size_t n) {
  std::vector<std::string_view> fields;
  while (fields.size() + 1 < n) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) break;
    fields.push_back(line.substr(0, colon));
    line.remove_prefix(colon + 1);
  }
  fields.push_back(line);
  return fields;
}

}  // namespace

std::vector<MimeMapping> ParseMimeTypes(std::string_view text) {
  std::vector<MimeMapping> out;
  ForEachLine(text, [&](std::string_view line) {
    std::vector<std::string_view> words;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && IsSpace(line[i])) ++i;
      if (i == line.size() || line[i] == '#') break;
      const std::size_t start = i;
      while (i < line.size() && !IsSpace(line[i])) ++i;
      words.push_back(line.substr(start, i - start));
    }
    for (std::size_t w = 1; w < words.size(); ++w) {
      out.push_back({std::string(words[w]), std::string(words[0])});
    }
  });
  return out;
}

std::vector<MimeMapping> ParseMimeGlobs2(std::string_view text) {
  struct Best {
    int weight;
    std::size_t slot;
  };
  std::vector<MimeMapping> out;
  std::unordered_map<std::string, Best> best;  // by extension
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> f = SplitFields(line, 4);
    if (f.size() < 3 || f[1].empty() || f[1] == "__NOGLOBS__") return;
    int weight = 0;
    if (f[0].empty() || f[0].size() > 3) return;
    for (const char c : f[0]) {
      if (c < '0' || c > '9') return;
      weight = weight * 10 + (c - '0');
    }
    const std::string_view ext = SimpleExtension(f[2]);
    if (ext.empty()) return;
    // Extensions are looked up lower-cased, which is what a lower-case glob
    // matches. A glob with capitals is case-sensitive ("*.C" for C++, listed
    // once with the "cs" flag and once without it for older readers) and must
    // not take over its lower-case twin ("*.c" for C).
    if (HasUpperAscii(ext)) return;
    const auto [it, fresh] = best.try_emplace(std::string(ext), Best{weight, out.size()});
    if (fresh) {
      out.push_back({std::string(ext), std::string(f[1])});
    } else if (weight > it->second.weight) {
      it->second.weight = weight;
      out[it->second.slot] = {std::string(ext), std::string(f[1])};
    }
  });
  return out;
}

std::vector<MimeMapping> ParseMimeGlobs(std::string_view text) {
  std::vector<MimeMapping> out;
  std::unordered_set<std::string> seen;
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> f = SplitFields(line, 2);
    if (f.size() < 2 || f[0].empty() || f[0] == "__NOGLOBS__") return;
    const std::string_view ext = SimpleExtension(f[1]);
    if (ext.empty() || HasUpperAscii(ext)) return;  // as in globs2
    if (seen.emplace(ext).second) {
      out.push_back({std::string(ext), std::string(f[0])});
    }
  });
  return out;
}

std::vector<MimeMapping> LinuxOs::MimeTypesByExtension() const {
  return ParseMimeTypes(ReadSmallFile("/etc/mime.types"));
}

std::vector<MimeMapping> LinuxOs::ExtensionsByMimeType() const {
  const std::string globs2 = ReadSmallFile("/usr/share/mime/globs2");
  if (!globs2.empty()) return ParseMimeGlobs2(globs2);
  return ParseMimeGlobs(ReadSmallFile("/usr/share/mime/globs"));
}

}  // namespace tessel::platform
