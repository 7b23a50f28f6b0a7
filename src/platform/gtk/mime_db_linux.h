// Readers of the Linux MIME databases behind LinuxOs's two MIME passes,
// exposed for tests. Private to platform/gtk.
#pragma once

#include <string_view>
#include <vector>

#include "platform/os.h"

namespace tessel::platform {

// mime.types ("type ext1 ext2 ...", "#" starts a comment): one mapping per
// extension, in file order. A later line for the same extension is kept too;
// the table builder lets the later one win.
std::vector<MimeMapping> ParseMimeTypes(std::string_view text);

// Shared MIME info globs2 ("weight:type:glob[:flags]"): one mapping per
// extension from the simple lower-case "*.ext" globs, the type of highest
// weight winning (the first of equal weights, as the file lists them).
std::vector<MimeMapping> ParseMimeGlobs2(std::string_view text);

// The older globs file ("type:glob"), listed by falling weight: the first
// type of an extension wins. The same globs as in globs2 are taken.
std::vector<MimeMapping> ParseMimeGlobs(std::string_view text);

}  // namespace tessel::platform
