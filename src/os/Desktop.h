// The foreground window and the processes behind windows.
#pragma once

#include <kw/Platform.h>

namespace kw::os {

// The window the user works in now; null when there is none. On Linux the
// X server's EWMH active window (_NET_ACTIVE_WINDOW), as an X window ID;
// null without a display or without libX11.
HWND foregroundWindow();
// The ID of the process that made the window (Linux: its _NET_WM_PID);
// 0 when unknown.
unsigned long windowProcessId(HWND window);
unsigned long currentProcessId();

}  // namespace kw::os
