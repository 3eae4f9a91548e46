// kwtool's entry point: sets up the process (console, locale, tracing) and
// hands the arguments to KwTool.
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

#include <clocale>
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

#ifdef _WIN32
// While kwtool runs, the console shows text in the code page of the
// runtime's locale, the one encoding that the library's console device and
// kwtool both write; the console's own is put back at the end.
class ConsoleCodePage {
 public:
  ConsoleCodePage() : m_nPrevious(GetConsoleOutputCP()) {
    const UINT runtime = ___lc_codepage_func();
    if (m_nPrevious != 0 && runtime != 0) SetConsoleOutputCP(runtime);
  }
  ~ConsoleCodePage() {
    if (m_nPrevious != 0) SetConsoleOutputCP(m_nPrevious);
  }
  ConsoleCodePage(const ConsoleCodePage&) = delete;
  ConsoleCodePage& operator=(const ConsoleCodePage&) = delete;

 private:
  UINT m_nPrevious;
};
#endif

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // decode reads raw bytes from standard input.
  _setmode(_fileno(stdin), _O_BINARY);
  // The user's locale: the "C" locale converts no character beyond U+00FF.
  std::setlocale(LC_ALL, "");
  ConsoleCodePage codePage;
  std::vector<std::wstring> args(argv + 1, argv + argc);
  return guarded(args, [](const std::vector<std::wstring>& arguments, std::istream& in,
                          std::ostream& out, std::ostream& err) {
    return kwtool::KwTool::run(arguments, in, out, err, kwtool::Console::Encoding::Locale);
  });
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return guarded(args, &kwtool::KwTool::runUtf8);
}
#endif
