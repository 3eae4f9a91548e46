// FileLogDevice: opens, appends one UTF-16LE event line to, and closes the trace file per event;
// Logger::addFileLogDevice.
#include <kw/Event.h>
#include <kw/File.h>
#include <kw/FileLogDevice.h>
#include <kw/FileName.h>
#include <kw/Logger.h>

#include <cwchar>

#include "EventLine.h"
#include "os/TraceFile.h"
#include "os/Unwinding.h"

namespace kw {

namespace {

// Characters of a line buffer kept between events.
const std::size_t kKeptLineCapacity = 16384;

}  // namespace

void FileLogDevice::SetLogFilePath(const wchar_t* path) {
  if (path) m_strLogFilePath = path;
}

void FileLogDevice::Write(Event& event) {
  if (m_strLogFilePath.empty()) return;
  HANDLE file = OpenTraceFile(m_strLogFilePath);
  if (!file) return;
  // toString(true)'s line, in a buffer the thread keeps: an event allocates
  // nothing for it. A buffer grown by a long stack trace is let go.
  thread_local std::wstring t_line;
  std::wstring& line = t_line;
  composeEventLine(line, event, true);
  WriteToTraceFile(file, line.c_str());
  CloseTraceFile(file);
  if (line.capacity() > kKeptLineCapacity) std::wstring().swap(line);
}

// Failures of the file stay silent: a trace device that logged its own
// troubles would feed itself.
HANDLE FileLogDevice::OpenTraceFile(const std::wstring& path) {
  try {
    if (path.empty()) return nullptr;
    return os::traceFileOpen(path);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
    return nullptr;
  }
}

void FileLogDevice::WriteToTraceFile(HANDLE file, const wchar_t* text) {
  if (!file || !text) return;
  try {
    os::traceFileWrite(file, text, std::wcslen(text));
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
  }
}

void FileLogDevice::CloseTraceFile(HANDLE file) {
  if (!file) return;
  try {
    os::traceFileClose(file);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
  }
}

void Logger::addFileLogDevice(bool useTempFolder) {
  if (!isSwitchedOn(L"FileLogging")) return;
  const std::wstring name = L"KW" + s_strApplicationName;
  std::wstring folder;
  if (useTempFolder) {
    File::initTempPath(false);
    folder = File::getTempPath();
  } else {
    File::initUsersLocalDataPath();
    folder = File::getUsersLocalDataPath();
  }
  FileName path(folder.c_str(), name.c_str(), L"log");
  // A device the logger would not list (it is not initialised yet) is not
  // made at all, so nothing is left unowned.
  if (!s_bInitialised) return;
  auto* device = new FileLogDevice;
  device->SetLogFilePath(path.getFilepath());
  addCustomTraceDevice(device);
}

}  // namespace kw
