// An app's icon given as a PNG picture: checked, decoded, scaled to the
// sizes desktops and Windows ask for, and written as PNG pictures or as a
// Windows icon file. Portable: the packer uses it on every system.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

// The PNG cannot serve as an icon; the message names the file and why.
class EIconImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kLargestIconSize = 256;
inline constexpr int kSmallestIconSize = 16;
// Larger pictures are refused before they are decoded.
inline constexpr int kLargestIconSource = 4096;
inline constexpr uint64_t kMaxIconPngSize = uint64_t{16} * 1024 * 1024;

// The sizes an icon `source` px wide is given in, largest first: the source's
// own size up to 256, then those of 48, 32 and 16 below it. Pictures are
// only ever scaled down: a small source keeps its own sharpness rather than
// being blurred up to sizes it does not have.
inline std::vector<int> IconSizes(int source) {
  std::vector<int> sizes;
  if (source < kSmallestIconSize) return sizes;
  sizes.push_back(source < kLargestIconSize ? source : kLargestIconSize);
  for (const int size : {48, 32, 16}) {
    if (size < sizes.front()) sizes.push_back(size);
  }
  return sizes;
}

// True when the bytes start with the PNG signature.
bool LooksLikePng(std::span<const uint8_t> bytes);

// A square picture: `size` * `size` pixels of R, G, B, A (straight alpha),
// rows top to bottom.
struct TIconPicture {
  int size = 0;
  std::vector<uint8_t> rgba;
};

// Decodes a PNG icon. `name` names the file in messages ("icon app.png is
// 300x200: an icon must be square"). Throws EIconImageError for a file that
// is not a PNG, is damaged, is not square, is under 16 px or over 4096 px.
TIconPicture DecodePngIcon(std::span<const uint8_t> png, std::string_view name);

// The picture scaled down (alpha-weighted, in sRGB) to `size` px; `size`
// must not exceed the picture's.
TIconPicture ScaleIcon(const TIconPicture& picture, int size);

// The picture as a PNG file (8-bit RGBA).
std::vector<uint8_t> EncodePng(const TIconPicture& picture);

// A Windows icon file with one image for each of IconSizes(): images above
// 48 px stored as PNG, the others as 32-bit bitmaps with their mask.
std::vector<uint8_t> IconFileFromPicture(const TIconPicture& picture);

}  // namespace tessel::shared
