#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "kwtool/KwTool.h"
#include "kwtool/ToolTrace.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

// Every failure, the logger's own included, ends as a message and an exit
// code: nothing may escape to std::terminate.
template <typename Args, typename Run>
int guarded(const Args& args, Run run) {
  try {
    try {
      kwtool::ToolTrace::start();
    } catch (...) {
      std::cerr << "kwtool: tracing is off: the logger did not start\n";
    }
    int code = run(args, std::cin, std::cout, std::cerr);
    try {
      kwtool::ToolTrace::stop();
    } catch (...) {
      std::cerr << "kwtool: the logger did not shut down cleanly\n";
      if (code == 0) code = 1;
    }
    std::cout.flush();
    return code;
  } catch (...) {
    std::cerr << "kwtool: failed for an unknown reason\n";
    return 1;
  }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // decode reads raw bytes from standard input; the console shows UTF-8.
  _setmode(_fileno(stdin), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  return guarded(args, &kwtool::KwTool::run);
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return guarded(args, &kwtool::KwTool::runUtf8);
}
#endif
