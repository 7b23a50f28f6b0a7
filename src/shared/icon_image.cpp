#include "shared/icon_image.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <optional>

// Declarations only: the implementation is compiled in icon_image_stb.cpp.
#define STBI_NO_STDIO
#define STBI_WRITE_NO_STDIO
#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

namespace tessel::shared {
namespace {

constexpr std::array<uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::string Refusal(std::string_view name, const std::string& why) {
  return "icon " + std::string(name) + " " + why;
}

// A 32-bit bitmap as icon files hold it: the header counts the colour rows
// and the mask rows, both bottom-up; the mask marks transparent pixels for
// systems that ignore alpha.
std::vector<uint8_t> IconBitmap(const TIconPicture& picture) {
  const auto size = static_cast<uint32_t>(picture.size);
  const uint32_t mask_stride = (size + 31) / 32 * 4;
  std::vector<uint8_t> out;
  out.reserve(40 + size * size * 4 + mask_stride * size);
  Put32(out, 40);
  Put32(out, size);
  Put32(out, size * 2);
  Put16(out, 1);   // planes
  Put16(out, 32);  // bits per pixel
  Put32(out, 0);   // uncompressed
  Put32(out, size * size * 4 + mask_stride * size);
  for (int i = 0; i < 4; ++i) Put32(out, 0);  // resolution and colour counts
  for (uint32_t row = size; row-- > 0;) {
    const uint8_t* px = &picture.rgba[static_cast<size_t>(row) * size * 4];
    for (uint32_t x = 0; x < size; ++x, px += 4) {
      out.insert(out.end(), {px[2], px[1], px[0], px[3]});
    }
  }
  for (uint32_t row = size; row-- > 0;) {
    std::vector<uint8_t> mask(mask_stride, 0);
    for (uint32_t x = 0; x < size; ++x) {
      if (picture.rgba[(static_cast<size_t>(row) * size + x) * 4 + 3] == 0) {
        mask[x / 8] = static_cast<uint8_t>(mask[x / 8] | (0x80U >> (x % 8)));
      }
    }
    out.insert(out.end(), mask.begin(), mask.end());
  }
  return out;
}

// What stb's reader would mishandle in the chunk layout, or nothing. It
// allocates what an image data chunk declares before reading it (a few
// bytes can ask for gigabytes), and copies from a null buffer when the first
// one is empty.
std::optional<std::string> ChunkProblem(std::span<const uint8_t> png) {
  bool seen_data = false;
  for (size_t at = 8;;) {
    if (png.size() - at < 12) return "it is cut short";
    const uint32_t length = Be32(&png[at]);
    if (length > png.size() - at - 12) return "a chunk runs past the end of the file";
    const auto type = png.subspan(at + 4, 4);
    if (std::equal(type.begin(), type.end(), "IEND")) return std::nullopt;
    if (std::equal(type.begin(), type.end(), "IDAT")) {
      if (!seen_data && length == 0) return "its first image data chunk is empty";
      seen_data = true;
    }
    at += size_t{12} + length;
  }
}

}  // namespace

bool LooksLikePng(std::span<const uint8_t> bytes) {
  return bytes.size() >= kPngSignature.size() &&
         std::equal(kPngSignature.begin(), kPngSignature.end(), bytes.begin());
}

TIconPicture DecodePngIcon(std::span<const uint8_t> png, std::string_view name) {
  if (!LooksLikePng(png)) throw EIconImageError(Refusal(name, "is not a PNG file"));
  if (png.size() > kMaxIconPngSize) {
    throw EIconImageError(Refusal(name, "is larger than 16 MB"));
  }
  // The header first, so that a picture of the wrong shape or a huge one is
  // refused before anything is decoded.
  constexpr size_t kHeaderEnd = 8 + 8 + 8;
  if (png.size() < kHeaderEnd || !std::equal(png.begin() + 12, png.begin() + 16, "IHDR")) {
    throw EIconImageError(Refusal(name, "is not a readable PNG: it has no image header"));
  }
  const uint32_t width = Be32(&png[16]);
  const uint32_t height = Be32(&png[20]);
  const std::string dimensions = std::to_string(width) + "x" + std::to_string(height);
  if (width != height) {
    throw EIconImageError(Refusal(name, "is " + dimensions + ": an icon must be square"));
  }
  if (width < kSmallestIconSize) {
    throw EIconImageError(Refusal(name, "is " + dimensions + ": an icon must be at least 16 px"));
  }
  if (width > kLargestIconSource) {
    throw EIconImageError(Refusal(name, "is " + dimensions + ": an icon must be at most 4096 px"));
  }
  if (const std::optional<std::string> problem = ChunkProblem(png)) {
    throw EIconImageError(Refusal(name, "is not a readable PNG: " + *problem));
  }
  int w = 0;
  int h = 0;
  int channels = 0;
  const std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> pixels(
      stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &w, &h, &channels, 4),
      &stbi_image_free);
  if (!pixels) {
    // stb names an unknown chunk by its type's bytes, which may be none.
    const char* reason = stbi_failure_reason();
    const std::string why = reason != nullptr && *reason != 0 ? reason : "damaged or cut short";
    throw EIconImageError(Refusal(name, "is not a readable PNG: " + why));
  }
  if (static_cast<uint32_t>(w) != width || static_cast<uint32_t>(h) != height) {
    throw EIconImageError(Refusal(name, "is not a readable PNG: its header lies about its size"));
  }
  TIconPicture picture;
  picture.size = w;
  picture.rgba.assign(pixels.get(), pixels.get() + static_cast<size_t>(w) * h * 4);
  return picture;
}

TIconPicture ScaleIcon(const TIconPicture& picture, int size) {
  if (size >= picture.size) return picture;
  TIconPicture scaled;
  scaled.size = size;
  scaled.rgba.resize(static_cast<size_t>(size) * size * 4);
  if (stbir_resize_uint8_srgb_edgemode(picture.rgba.data(), picture.size, picture.size, 0,
                                       scaled.rgba.data(), size, size, 0, 4, 3, 0,
                                       STBIR_EDGE_CLAMP) == 0) {
    throw EIconImageError("not enough memory to scale the icon");
  }
  return scaled;
}

std::vector<uint8_t> EncodePng(const TIconPicture& picture) {
  std::vector<uint8_t> out;
  const auto append = [](void* context, void* data, int size) {
    auto* bytes = static_cast<uint8_t*>(data);
    static_cast<std::vector<uint8_t>*>(context)->insert(
        static_cast<std::vector<uint8_t>*>(context)->end(), bytes, bytes + size);
  };
  if (stbi_write_png_to_func(append, &out, picture.size, picture.size, 4, picture.rgba.data(),
                             picture.size * 4) == 0) {
    throw EIconImageError("not enough memory to write the icon");
  }
  return out;
}

std::vector<uint8_t> IconFileFromPicture(const TIconPicture& picture) {
  std::vector<std::vector<uint8_t>> images;
  const std::vector<int> sizes = IconSizes(picture.size);
  for (const int size : sizes) {
    const TIconPicture scaled = ScaleIcon(picture, size);
    images.push_back(size > 48 ? EncodePng(scaled) : IconBitmap(scaled));
  }
  std::vector<uint8_t> out;
  Put16(out, 0);
  Put16(out, 1);  // an icon, not a cursor
  Put16(out, static_cast<uint32_t>(images.size()));
  auto offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    // 256 is written as 0: the field is one byte.
    const auto side = static_cast<uint8_t>(sizes[i] >= 256 ? 0 : sizes[i]);
    out.insert(out.end(), {side, side, 0, 0});
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, static_cast<uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const std::vector<uint8_t>& image : images)
    out.insert(out.end(), image.begin(), image.end());
  return out;
}

}  // namespace tessel::shared
