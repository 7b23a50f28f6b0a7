// The program entry of the runtime.
#include <string>
#include <vector>

#include "platform/os.h"
#include "runtime/exe_zip_loader.h"

namespace {

// What the packer looks for to accept this image as a runtime. The volatile
// read keeps it through link-time optimisation and section garbage collection.
const char kRuntimeImageMark[] = "TESSEL-RUNTIME-IMAGE:1";

}  // namespace

int main(int argc, char** argv) {
  static_cast<void>(*static_cast<const volatile char*>(kRuntimeImageMark));
  std::vector<std::string> args = tessel::platform::CurrentOs().CommandLineArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());  // the program's own name
  return tessel::runtime::RunTesselRuntime(args);
}
