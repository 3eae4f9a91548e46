// The foreground window and the process behind a window on Windows. Twin: src/os/posix/Desktop.cpp.
#include "os/Desktop.h"

#include <windows.h>

namespace kw::os {

HWND foregroundWindow() { return GetForegroundWindow(); }

unsigned long windowProcessId(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

unsigned long currentProcessId() { return GetCurrentProcessId(); }

}  // namespace kw::os
