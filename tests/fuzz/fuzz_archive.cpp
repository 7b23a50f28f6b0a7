// Opens the app archive reader on arbitrary bytes and reads every entry.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

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
    (void)zip.FindFile(entry.name + "/");
  }
  (void)zip.FindFile("vtx.ini");
  return 0;
}
