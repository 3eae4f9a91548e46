// kwtool's own trace events through the library's logger.
#pragma once

#include <string>

namespace kw {
class Exception;
}

namespace kwtool {

// kwtool's own trace events, through the library's logger, so that a
// user can watch the devices the settings switch on.
class ToolTrace {
 public:
  // The logger as application "kwtool", with every standard device whose
  // switch is on (kwtoolConsoleTrace, kwtoolDebugStream, kwtoolFileLogging).
  static void start();
  static void stop();

  static void info(unsigned long id, const std::wstring& text, int line, const wchar_t* function);
  static void error(unsigned long id, const kw::Exception& cause, const std::wstring& text,
                    int line, const wchar_t* function);

  ToolTrace() = delete;
};

}  // namespace kwtool
