#include "shared/icon_image.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "shared/pe_resources.h"

namespace tessel::shared {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) |
         (uint32_t{b[at + 3]} << 24);
}

// The signature and an image header claiming `width` x `height`; the checks
// of shape and size must not need more.
std::vector<uint8_t> PngHeader(uint32_t width, uint32_t height) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                              0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  for (const uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<uint8_t>(v >> shift));
  }
  png.insert(png.end(), {8, 6, 0, 0, 0, 0, 0, 0, 0});
  return png;
}

// Opaque red on the left half, fully transparent (with a stray colour, as
// editors leave it) on the right.
TIconPicture HalfRed(int size) {
  TIconPicture picture{size, std::vector<uint8_t>(static_cast<size_t>(size) * size * 4)};
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      uint8_t* px = &picture.rgba[(static_cast<size_t>(y) * size + x) * 4];
      if (x < size / 2) {
        px[0] = 255;
        px[3] = 255;
      } else {
        px[1] = 255;  // green, but invisible
      }
    }
  }
  return picture;
}

TEST(IconImageTest, RefusesWhatCannotBeAnIcon) {
  std::vector<uint8_t> damaged = EncodePng(HalfRed(32));
  damaged.resize(damaged.size() / 2);
  std::vector<uint8_t> empty_data = PngHeader(32, 32);
  empty_data.insert(empty_data.end(), {0, 0, 0, 0, 'I', 'D', 'A', 'T', 0, 0, 0, 0});
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
      {{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, "icon app.png is not a PNG file"},
      {{}, "icon app.png is not a PNG file"},
      {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0},
       "icon app.png is not a readable PNG: it has no image header"},
      {PngHeader(300, 200), "icon app.png is 300x200: an icon must be square"},
      {PngHeader(8, 8), "icon app.png is 8x8: an icon must be at least 16 px"},
      {PngHeader(0, 0), "icon app.png is 0x0: an icon must be at least 16 px"},
      {PngHeader(5000, 5000), "icon app.png is 5000x5000: an icon must be at most 4096 px"},
      {PngHeader(32, 32), "icon app.png is not a readable PNG: "},
      {damaged, "icon app.png is not a readable PNG: "},
      {empty_data, "icon app.png is not a readable PNG: its first image data chunk is empty"},
  };
  for (const auto& [bytes, message] : cases) {
    try {
      DecodePngIcon(bytes, "app.png");
      ADD_FAILURE() << "accepted; expected " << message;
    } catch (const EIconImageError& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(message)) << e.what();
    }
  }
}

TEST(IconImageTest, SizesOnlyScaleDown) {
  const std::vector<std::pair<int, std::vector<int>>> cases = {
      {4096, {256, 48, 32, 16}},
      {256, {256, 48, 32, 16}},
      {128, {128, 48, 32, 16}},
      {48, {48, 32, 16}},
      {40, {40, 32, 16}},
      {16, {16}},
      {15, {}},
  };
  for (const auto& [source, sizes] : cases) EXPECT_EQ(IconSizes(source), sizes) << source;
}

TEST(IconImageTest, PngRoundTripsExactly) {
  const TIconPicture picture = HalfRed(20);
  const TIconPicture decoded = DecodePngIcon(EncodePng(picture), "x.png");
  EXPECT_EQ(decoded.size, 20);
  EXPECT_EQ(decoded.rgba, picture.rgba);
}

// Transparent pixels' colour must not bleed into the edge: resampling
// weighs colours by their alpha.
TEST(IconImageTest, ScalingWeighsByAlpha) {
  const TIconPicture scaled = ScaleIcon(HalfRed(300), 16);
  ASSERT_EQ(scaled.size, 16);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const uint8_t* px = &scaled.rgba[(static_cast<size_t>(y) * 16 + x) * 4];
      if (px[3] == 0) continue;
      EXPECT_GE(px[0], 250) << x << "," << y;
      EXPECT_LE(px[1], 5) << x << "," << y;
    }
  }
  EXPECT_EQ(scaled.rgba[3], 255);             // left edge opaque
  EXPECT_EQ(scaled.rgba[15 * 4 + 3], 0);      // right edge clear
  EXPECT_EQ(ScaleIcon(scaled, 32).size, 16);  // never up
}

// The icon file Windows gets: 256 px as PNG, the small sizes as 32-bit
// bitmaps with their mask, every image where the directory says.
TEST(IconImageTest, IconFileHoldsEachSize) {
  const std::vector<uint8_t> ico = IconFileFromPicture(HalfRed(300));
  ASSERT_TRUE(IsValidIconFile(ico));
  ASSERT_EQ(IconFileImageCount(ico), 4U);
  const int sides[] = {256, 48, 32, 16};
  for (size_t i = 0; i < 4; ++i) {
    const int side = sides[i];
    EXPECT_EQ(ico[6 + 16 * i], side == 256 ? 0 : side);
    EXPECT_EQ(ico[6 + 16 * i + 6], 32);  // bits per pixel
    const std::span<const uint8_t> image = IconFileImage(ico, i);
    const std::vector<uint8_t> data(image.begin(), image.end());
    if (side == 256) {
      const TIconPicture picture = DecodePngIcon(data, "256");
      EXPECT_EQ(picture.size, 256);
      EXPECT_EQ(picture.rgba[0], 255);
      continue;
    }
    ASSERT_GE(data.size(), 40U);
    EXPECT_EQ(Le32(data, 4), static_cast<uint32_t>(side));
    EXPECT_EQ(Le32(data, 8), static_cast<uint32_t>(side * 2));
    const size_t mask_stride = (static_cast<size_t>(side) + 31) / 32 * 4;
    ASSERT_EQ(data.size(), 40 + static_cast<size_t>(side) * side * 4 + mask_stride * side);
    // Bottom-up: the last colour row is the picture's top row.
    const size_t top_row = 40 + static_cast<size_t>(side - 1) * side * 4;
    EXPECT_EQ(data[top_row + 2], 255);  // red, stored B G R A
    EXPECT_EQ(data[top_row + 3], 255);
    const size_t mask = 40 + static_cast<size_t>(side) * side * 4;
    EXPECT_EQ(data[mask] & 0x80, 0);                                         // left: shown
    EXPECT_NE(data[mask + (side - 1) / 8] & (0x80 >> ((side - 1) % 8)), 0);  // right: masked
  }

  // A small source keeps its own size as the largest image.
  const std::vector<uint8_t> small = IconFileFromPicture(HalfRed(40));
  ASSERT_EQ(IconFileImageCount(small), 3U);
  EXPECT_EQ(small[6], 40);
  EXPECT_EQ(IconFileImage(small, 0)[0], 40);  // a bitmap header, not a PNG
}

}  // namespace
}  // namespace tessel::shared
