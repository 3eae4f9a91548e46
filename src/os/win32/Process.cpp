// Running a command line hidden on Windows with CreateProcess and a bounded wait.
// Twin: src/os/posix/Process.cpp.
#include "os/Process.h"

#include <windows.h>

#include <vector>

namespace kw::os {

bool runHidden(const std::wstring& commandLine, unsigned timeoutMs) {
  // CreateProcessW may write into the line it is given.
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &started)) {
    return false;
  }
  bool finished =
      started.hThread && WaitForSingleObject(started.hThread, timeoutMs) == WAIT_OBJECT_0;
  if (started.hThread) CloseHandle(started.hThread);
  if (started.hProcess) CloseHandle(started.hProcess);
  return finished;
}

}  // namespace kw::os
