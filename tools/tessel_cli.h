// The `tessel` command: new, dev, pack, list, help and --version over the
// packer and the runtime.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

// One file of the app template, built into the tool (tools/CMakeLists.txt).
struct TTemplateFile {
  std::string_view path;  // relative to the new app folder, '/'-separated
  std::string_view bytes;
};
std::vector<TTemplateFile> AppTemplateFiles();

// Makes a working app folder at `dir`, which must not exist or be an empty
// folder: vtx.ini with an ID and Name made from the folder's name, the web
// app in webapp/, vtx.d.ts for editors, an icon and a .tesselignore. Throws
// EPackError with a one-line message; a failure leaves nothing it wrote.
void CreateApp(const std::string& dir);

// Starts `program` with `args` and waits for it. Its exit code (128 + the
// signal when a signal ended it); throws EPackError when it cannot start.
int RunProgram(const std::string& program, const std::vector<std::string>& args);

// args without the program's own name. Returns the exit code: 0 done,
// 1 bad input or failure, 2 bad usage; `tessel dev` returns the runtime's.
int RunTessel(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool progress_bar);

}  // namespace tessel::shared
