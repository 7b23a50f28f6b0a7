// Reads arbitrary bytes as a library's exports, and as a Windows image with
// resources, edits its icon and version texts and rebuilds it; whatever it
// accepts must read back.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/pe_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessel::shared;
  try {
    ReadPeLibrary(std::span<const uint8_t>(data, size));
  } catch (const EPeResourceError&) {
  }
  try {
    TPeImage image(std::vector<uint8_t>(data, data + size));
    if (const TResource* version = FindVersionResource(image)) {
      ListVersionValues(version->data);
      UpdateVersionTexts(image, {{"ProductName", u"Fuzz"}, {"FileVersion", u"1.2.3.4"}});
    }
    static const uint8_t kIcon[] = {0,  0, 1, 0, 1, 0, 16, 16, 0, 0, 1,    0,
                                    32, 0, 2, 0, 0, 0, 22, 0,  0, 0, 0xAB, 0xCD};
    ReplaceMainIcon(image, kIcon);
    const std::vector<uint8_t> rebuilt = image.Build();
    const TPeImage reread(rebuilt);
    if (reread.Resources().size() != image.Resources().size()) __builtin_trap();
  } catch (const EPeResourceError&) {
  }
  return 0;
}
