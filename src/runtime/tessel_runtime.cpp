// The program entry of the runtime.
#include <string>
#include <vector>

#include "platform/os.h"
#include "runtime/exe_zip_loader.h"

int main(int argc, char** argv) {
  std::vector<std::string> args = tessel::platform::CurrentOs().CommandLineArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());  // the program's own name
  return tessel::runtime::RunTesselRuntime(args);
}
