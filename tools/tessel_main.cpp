#include "tessel_cli.h"
#include "tool_main.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tessel::tools::RunTool(argc, argv, tessel::shared::RunTessel);
}
#else
int main(int argc, char** argv) {
  return tessel::tools::RunTool(argc, argv, tessel::shared::RunTessel);
}
#endif
