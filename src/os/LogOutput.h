// Where the standard log devices write.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw::os {

// Standard output: on Windows in the C runtime's current locale, '?' for what
// it cannot represent; UTF-8 on Linux.
void consoleWrite(const std::wstring& text);
// The debugger's output stream; standard error on Linux.
void debugWrite(const std::wstring& text);

// The system event log (syslog on Linux, with the source as its ident).
// Null on failure, with the thread's last error.
HANDLE eventSourceOpen(const std::wstring& source);
// `type` is the event's type (0 information, 1 error, 2 warning, other
// values error); `text` may be null for no text.
bool eventReport(HANDLE source, int type, int id, const wchar_t* text);
void eventSourceClose(HANDLE source);

}  // namespace kw::os
