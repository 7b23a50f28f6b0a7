// Debian's stb headers (package libstb-dev) compiled into the icon unit: the
// same code on every system the packer is built for, and instrumented with
// ours when fuzzed. Only PNG is decoded; pictures above 4096 px are refused
// before their pixels are allocated.
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS 4096
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize.h>
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
