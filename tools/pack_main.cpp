#include "packer.h"
#include "tool_main.h"

namespace {

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool bar) {
  return tessel::shared::RunPacker(args, out, err, bar);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return tessel::tools::RunTool(argc, argv, Run); }
#else
int main(int argc, char** argv) { return tessel::tools::RunTool(argc, argv, Run); }
#endif
