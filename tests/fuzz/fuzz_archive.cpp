// Opens the app archive reader on arbitrary bytes and reads every entry,
// whole, block by block, and from the middle after a skip.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "shared/exe_zip.h"
#include "shared/program_constants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessel::shared::TExeZip;
  TExeZip zip;
  zip.SetPassword(std::string(tessel::shared::kAppArchivePassword));
  try {
    zip.SetStream({data, size});
  } catch (const tessel::shared::EZipError&) {
    return 0;
  }
  for (const auto& entry : zip.Entries()) {
    std::ostringstream out;
    zip.ExtractToStream(entry.name, out);
    const auto content = zip.ReadEntry(entry.name);
    // Both read the same way: what one yields the other writes.
    if (out.str() != content.value_or("")) __builtin_trap();
    // Block by block: never more than the size, and complete exactly when
    // the whole read succeeds, with the same bytes.
    if (const auto reader = zip.OpenEntry(entry.name)) {
      std::string streamed;
      std::vector<uint8_t> block(4093);
      int64_t n = 0;
      while ((n = reader->Read(block)) > 0) {
        streamed.append(block.begin(), block.begin() + n);
        if (streamed.size() > reader->Size()) __builtin_trap();
      }
      if ((n == 0) != content.has_value()) __builtin_trap();
      if (content && streamed != *content) __builtin_trap();
      // Skipped to the middle: the rest as read, and the same verdict.
      reader->Rewind();
      const uint64_t half = streamed.size() / 2;
      const int64_t skipped = reader->Skip(half);
      if (content && skipped != static_cast<int64_t>(half)) __builtin_trap();
      if (skipped >= 0) {
        std::string rest;
        while ((n = reader->Read(block)) > 0) rest.append(block.begin(), block.begin() + n);
        if ((n == 0) != content.has_value()) __builtin_trap();
        if (content && rest != content->substr(half)) __builtin_trap();
      }
    } else if (content) {
      __builtin_trap();
    }
    (void)zip.FindFile(entry.name + "/");
  }
  (void)zip.FindFile("vtx.ini");
  return 0;
}
