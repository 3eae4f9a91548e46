// The log outputs on Linux: standard output, standard error as the debugger stream, and syslog as
// the event log. Twin: src/os/win32/LogOutput.cpp.
#include "os/LogOutput.h"

#include <syslog.h>

#include <cstdio>
#include <string>

#include "Utf16.h"
#include "os/ErrorText.h"

namespace kw::os {

namespace {

// syslog keeps the ident pointer until the next openlog; the logger's lock
// serialises every device call, so one buffer serves.
std::string g_ident;

// syslog has no handle: an open source is this marker.
EventSourceHandle openSource() { return reinterpret_cast<EventSourceHandle>(&g_ident); }

}  // namespace

void consoleWrite(const std::wstring& text) { std::fputs(utf16::toUtf8(text).c_str(), stdout); }

void debugWrite(const std::wstring& text) { std::fputs(utf16::toUtf8(text).c_str(), stderr); }

OwnedEventSource eventSourceOpen(const std::wstring& source) {
  g_ident = utf16::toUtf8(source);
  openlog(g_ident.c_str(), LOG_PID | LOG_NDELAY, LOG_USER);
  return OwnedEventSource(openSource());
}

bool eventReport(EventSourceHandle source, int type, int id, const wchar_t* text) {
  if (!source) return false;
  int priority = type == 0 ? LOG_INFO : type == 2 ? LOG_WARNING : LOG_ERR;
  std::string message = text ? utf16::toUtf8(text) : std::string();
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  syslog(priority, "%d %s", id, message.c_str());
  return true;
}

void eventSourceClose(EventSourceHandle source) {
  if (source) keepingLastError([] { closelog(); });
}

}  // namespace kw::os
