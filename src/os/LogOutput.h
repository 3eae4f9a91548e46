// Where the standard log devices write.
#pragma once

#include <string>

#include "os/OwnedHandle.h"

namespace kw::os {

// Standard output: on Windows in the C runtime's current locale, '?' for what
// it cannot represent; UTF-8 on Linux.
void consoleWrite(const std::wstring& text);
// The debugger's output stream; standard error on Linux.
void debugWrite(const std::wstring& text);

// The system event log's source, a type of its own (on Windows its values are
// the system's HANDLEs).
struct EventSourceObject;
using EventSourceHandle = EventSourceObject*;

void eventSourceClose(EventSourceHandle source);

struct EventSourceTraits {
  using Handle = EventSourceHandle;
  static constexpr Handle invalid() { return nullptr; }
  static void close(Handle source) { eventSourceClose(source); }
};

using OwnedEventSource = OwnedHandle<EventSourceTraits>;

// The system event log (syslog on Linux, with the source as its ident).
// None on failure, with the thread's last error.
OwnedEventSource eventSourceOpen(const std::wstring& source);
// `type` is the event's type (0 information, 1 error, 2 warning, other
// values error); `text` may be null for no text.
bool eventReport(EventSourceHandle source, int type, int id, const wchar_t* text);

}  // namespace kw::os
