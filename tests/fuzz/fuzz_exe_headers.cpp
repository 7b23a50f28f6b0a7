// Computes the attach offset of arbitrary bytes taken as an executable file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "shared/exe_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessel::shared;
  try {
    const TImageLayout layout =
        ComputeAttachOffset(size, [&](uint64_t offset, std::span<uint8_t> out) {
          // The contract: only ranges inside the file are ever asked for.
          if (offset > size || out.size() > size - offset) __builtin_trap();
          std::memcpy(out.data(), data + offset, out.size());
          return true;
        });
    if (layout.format == TImageFormat::kPe && layout.attach_offset > 0xFFFFFFFFu) __builtin_trap();
  } catch (const EExeFormatError&) {
  }
  return 0;
}
