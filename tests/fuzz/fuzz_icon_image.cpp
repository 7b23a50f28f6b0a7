// Reads arbitrary bytes as an app's PNG icon; whatever it accepts must give
// an icon file whose images lie where its directory says, and PNGs that
// read back at the sizes they were made for.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/icon_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessel::shared;
  TIconPicture picture;
  try {
    picture = DecodePngIcon(std::span<const uint8_t>(data, size), "fuzz.png");
  } catch (const EIconImageError&) {
    return 0;
  }
  if (picture.size < kSmallestIconSize ||
      picture.rgba.size() != size_t(picture.size) * picture.size * 4) {
    __builtin_trap();
  }
  // Scaling a large picture is slow and finds nothing the small ones miss.
  if (picture.size > 128) return 0;
  const std::vector<uint8_t> ico = IconFileFromPicture(picture);
  const size_t count = ico[4] | size_t{ico[5]} << 8;
  if (count != IconSizes(picture.size).size()) __builtin_trap();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = &ico[6 + 16 * i];
    const size_t bytes = entry[8] | size_t{entry[9]} << 8 | size_t{entry[10]} << 16;
    const size_t offset = entry[12] | size_t{entry[13]} << 8 | size_t{entry[14]} << 16;
    if (offset + bytes > ico.size()) __builtin_trap();
  }
  const TIconPicture largest = ScaleIcon(picture, IconSizes(picture.size).front());
  if (DecodePngIcon(EncodePng(largest), "again").rgba != largest.rgba) __builtin_trap();
  return 0;
}
