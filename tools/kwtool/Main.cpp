#include <kw/Tools.h>

#include <iostream>
#include <string>
#include <vector>

#include "kwtool/KwTool.h"
#include "kwtool/ToolTrace.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  // decode reads raw bytes from standard input; the console shows UTF-8.
  _setmode(_fileno(stdin), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  kwtool::ToolTrace::start();
  int code = kwtool::KwTool::run(args, std::cin, std::cout, std::cerr);
  kwtool::ToolTrace::stop();
  return code;
}
#else
int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(kw::Tools::widenNarrowString(argv[i]));
  kwtool::ToolTrace::start();
  int code = kwtool::KwTool::run(args, std::cin, std::cout, std::cerr);
  kwtool::ToolTrace::stop();
  return code;
}
#endif
