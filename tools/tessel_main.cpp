#include <iostream>
#include <string>
#include <vector>

#include "tessel_cli.h"

#ifdef _WIN32
#include <io.h>

#include <filesystem>

// Windows hands main() its arguments in the ANSI code page; the wide ones
// keep every path intact.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::u8string arg = std::filesystem::path(argv[i]).u8string();
    args.emplace_back(arg.begin(), arg.end());
  }
  return tessel::shared::RunTessel(args, std::cout, std::cerr, _isatty(_fileno(stderr)) != 0);
}
#else
#include <unistd.h>

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tessel::shared::RunTessel(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
#endif
