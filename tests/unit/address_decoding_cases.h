// How a "file:///" address's path is read as the page meant it, one table
// for both readers: the host's second lookup pass (resource_server_test)
// and the WebKitGTK module's own reading of a request the host left
// (engine_webkit_uri_test). The module may read only what the host tried
// first; otherwise the trace's "not served" would name files the module
// then serves.
#pragma once

namespace tessel::test {

struct AddressDecodingCase {
  // The path as the address writes it, after "file:///" and a folder.
  const char* written;
  // The file name it means, or null when it means nothing.
  const char* meant;
  // For those: the name a lax decoder would make of it, a file that must
  // not be read (null when no such file can exist).
  const char* lax = nullptr;
};

inline constexpr AddressDecodingCase kAddressDecodingCases[] = {
    {"my%20file.txt", "my file.txt"},
    {"caf%C3%A9.png?v=2#top", "caf\xC3\xA9.png"},
    {"a%23b.txt", "a#b.txt"},
    {"100%25.txt", "100%.txt"},
    {"x.txt#part2", "x.txt"},
    {"sub/y.txt?v=1", "sub/y.txt"},
    {"caf%E9.png", nullptr, "caf\xE9.png"},
    {"nul%00.txt", nullptr},
    {"bad%G1%20x.txt", nullptr, "bad%G1 x.txt"},
    {"end%20x%", nullptr, "end x%"},
    {"end%20x%2", nullptr, "end x%2"},
    {"sub%2Fy.txt", nullptr, "sub/y.txt"},
    {"sub%5Cy.txt", nullptr, "sub\\y.txt"},
    {"sub/%2E%2E/x.txt", nullptr, "sub/../x.txt"},
    {"sub/%2e/y.txt", nullptr, "sub/./y.txt"},
};

}  // namespace tessel::test
