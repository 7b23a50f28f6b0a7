// The archive unit's functions over std::filesystem paths and C++ streams,
// for the packer and the tests. An object of their own: the runtime links
// none of them, and with a static C++ library any one would bring the
// locale machinery into it.
#include <filesystem>
#include <ostream>

#include "shared/exe_utils.h"
#include "shared/exe_zip.h"

namespace tessel::shared {

std::filesystem::path Utf8ToPath(std::string_view utf8) {
  return {std::u8string(utf8.begin(), utf8.end())};
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return {s.begin(), s.end()};
}

void TExeZip::ExtractToStream(std::string_view name, std::ostream& stream) const {
  // Read whole first: a failure halfway must leave the destination untouched.
  const std::optional<std::string> content = ReadEntry(name);
  if (content) stream.write(content->data(), static_cast<std::streamsize>(content->size()));
}

}  // namespace tessel::shared
