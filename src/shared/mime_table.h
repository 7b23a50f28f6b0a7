// The table behind TStrUtils::GetFileMIMEType: file extensions to MIME types,
// from a built-in list overridden by the system's MIME database.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessel::platform {
class Os;
}

namespace tessel::shared {

// One line of the built-in list, as written.
struct TMimeLine {
  std::string_view extension;
  std::string_view mime_type;
};

// One entry of a built table: both lower-case, the extension with its ".".
struct TMimeEntry {
  std::string extension;
  std::string mime_type;
};

// The 384 built-in lines in their fixed order. Twelve extensions occur twice;
// the first line of an extension is the one that counts.
std::span<const TMimeLine> BuiltInMimeLines();

// The extension a file name is looked up by: from the last "." that follows
// the last "\" or ":" to the end, the "." included; "/" does not stop the
// search, so "site.old/readme" gives ".old/readme". Empty when there is no
// such ".". Not lower-cased.
std::string_view MimeExtensionOf(std::string_view file_name);

class TMimeTable {
 public:
  // Builds the table from the built-in lines, then the OS's first pass
  // (MimeTypesByExtension), then its second (ExtensionsByMimeType); a later
  // pass wins over an earlier one, and within the built-in lines the first
  // line of an extension wins. Any thread. Throws what the seam throws
  // (std::runtime_error "Invalid data type for '...'").
  static TMimeTable Build(const platform::Os& os);

  // The MIME type of a lower-cased extension with its "." (as stored), or
  // nullptr when the table does not hold it.
  const std::string* Find(const std::string& extension) const;

  // The lower-case MIME type for a file name or path, or
  // "application/octet-stream" when its extension is not in the table.
  std::string TypeOfFile(std::string_view file_name) const;

  // The entries in load order; each extension once.
  const std::vector<TMimeEntry>& Entries() const { return entries_; }

 private:
  std::vector<TMimeEntry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

// The process-wide table: built from platform::CurrentOs() on first use and
// kept, so that a lookup never re-reads the system database. Thread-safe. When
// the build throws, nothing is kept and the error reaches the caller; the next
// call tries again.
std::shared_ptr<const TMimeTable> CachedMimeTable();

// Drops the process-wide table; the next lookup builds it again from the then
// current OS seam (after the system's MIME data changed, or a test installed
// another seam).
void ResetCachedMimeTable();

}  // namespace tessel::shared
