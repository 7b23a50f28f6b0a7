// The program entry of the command-line tools: the arguments as UTF-8, the
// standard streams and whether standard error is a terminal.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>

#include <filesystem>
#else
#include <unistd.h>
#endif

namespace tessel::tools {

using TToolRun = int (*)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                         bool progress_bar);

#ifdef _WIN32
// Windows hands main() its arguments in the ANSI code page; the wide ones
// keep every path intact.
inline int RunTool(int argc, wchar_t** argv, TToolRun run) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::u8string arg = std::filesystem::path(argv[i]).u8string();
    args.emplace_back(arg.begin(), arg.end());
  }
  return run(args, std::cout, std::cerr, _isatty(_fileno(stderr)) != 0);
}
#else
inline int RunTool(int argc, char** argv, TToolRun run) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return run(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
#endif

}  // namespace tessel::tools
