// The log outputs on Windows: the console, OutputDebugString and the event log.
// Twin: src/os/posix/LogOutput.cpp.
#include "os/LogOutput.h"

#include <kw/Platform.h>

#include <cstdio>

#include "LocaleText.h"
#include "os/ErrorText.h"

namespace kw::os {

namespace {

HANDLE toSystem(EventSourceHandle source) { return reinterpret_cast<HANDLE>(source); }

}  // namespace

void consoleWrite(const std::wstring& text) { std::printf("%s", toLocaleText(text).c_str()); }

void debugWrite(const std::wstring& text) { OutputDebugStringW(text.c_str()); }

OwnedEventSource eventSourceOpen(const std::wstring& source) {
  return OwnedEventSource(
      reinterpret_cast<EventSourceHandle>(RegisterEventSourceW(nullptr, source.c_str())));
}

bool eventReport(EventSourceHandle source, int type, int id, const wchar_t* text) {
  WORD eventType = type == 0   ? EVENTLOG_INFORMATION_TYPE
                   : type == 2 ? EVENTLOG_WARNING_TYPE
                               : EVENTLOG_ERROR_TYPE;
  const wchar_t* strings[] = {text};
  return ReportEventW(toSystem(source), eventType, 0, static_cast<DWORD>(id), nullptr, text ? 1 : 0,
                      0, text ? strings : nullptr, nullptr) != FALSE;
}

void eventSourceClose(EventSourceHandle source) {
  keepingLastError([source] { DeregisterEventSource(toSystem(source)); });
}

}  // namespace kw::os
