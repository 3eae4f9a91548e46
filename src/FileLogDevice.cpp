// FileLogDevice: opens, appends one UTF-16LE event line to, and closes the trace file per event;
// Logger::addFileLogDevice.
#include <kw/Event.h>
#include <kw/File.h>
#include <kw/FileLogDevice.h>
#include <kw/FileName.h>
#include <kw/Logger.h>

#include <cwchar>

#include "os/TraceFile.h"
#include "os/Unwinding.h"

namespace kw {

void FileLogDevice::SetLogFilePath(const wchar_t* path) {
  if (path) m_strLogFilePath = path;
}

void FileLogDevice::Write(Event& event) {
  if (m_strLogFilePath.empty()) return;
  HANDLE file = OpenTraceFile(m_strLogFilePath);
  if (!file) return;
  std::wstring text = event.toString(true);
  WriteToTraceFile(file, text.c_str());
  CloseTraceFile(file);
}

// Failures of the file stay silent: a trace device that logged its own
// troubles would feed itself.
HANDLE FileLogDevice::OpenTraceFile(std::wstring path) {
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
