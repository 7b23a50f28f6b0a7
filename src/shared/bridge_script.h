// The page side of the script bridge (VTX_EXTERNAL_JAVASCRIPT): the script
// that defines window.vtx, from resources/vtx_external.js. On Windows it is
// the executable's RCDATA resource of that name (language 1033), so an
// executable without it gives an empty script; elsewhere it is compiled in.
#pragma once

#include <string_view>

namespace tessel::shared {

// The script's exact bytes: UTF-8 beginning with the byte-order mark EF BB BF,
// lines ending in CR LF. The browser host registers all of it, the mark
// included: in the page the mark is the character U+FEFF, which scripts read
// as white space. Static storage; any thread.
std::string_view BridgeScript();

}  // namespace tessel::shared
