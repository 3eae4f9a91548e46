// FileLogDevice: opens, appends one UTF-16LE event line to, and closes the trace file per event;
// Logger::addFileLogDevice.
#include <kw/Event.h>
#include <kw/File.h>
#include <kw/FileLogDevice.h>
#include <kw/FileName.h>
#include <kw/Logger.h>

#include <cstdint>
#include <cwchar>

#include "EventLine.h"
#include "os/TraceFile.h"
#include "os/Unwinding.h"

namespace kw {

namespace {

// Characters of a line buffer kept between events.
const std::size_t kKeptLineCapacity = 16384;

// Failures of the file stay silent: a trace device that logged its own
// troubles would feed itself.
template <typename Call, typename Result>
Result silently(Call&& call, Result onFailure) {
  try {
    return call();
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
    return onFailure;
  }
}

os::OwnedTraceFile openTraceFile(const std::wstring& path) {
  if (path.empty()) return os::OwnedTraceFile();
  return silently([&path] { return os::traceFileOpen(path); }, os::OwnedTraceFile());
}

void writeToTraceFile(os::TraceFileHandle file, const wchar_t* text, std::size_t length) {
  if (file == os::TraceFileHandle::None || !text) return;
  silently(
      [file, text, length] {
        os::traceFileWrite(file, text, length);
        return true;
      },
      false);
}

// The interface's own members pass the file as a HANDLE, null for none: the
// value plus one, so that descriptor 0 is not null.
HANDLE toInterface(os::TraceFileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file) + 1);
}
os::TraceFileHandle fromInterface(HANDLE file) {
  return static_cast<os::TraceFileHandle>(reinterpret_cast<std::intptr_t>(file) - 1);
}

}  // namespace

void FileLogDevice::SetLogFilePath(const wchar_t* path) {
  if (path) m_strLogFilePath = path;
}

void FileLogDevice::Write(Event& event) {
  if (m_strLogFilePath.empty()) return;
  const os::OwnedTraceFile file = openTraceFile(m_strLogFilePath);
  if (!file.valid()) return;
  // toString(true)'s line, in a buffer the thread keeps: an event allocates
  // nothing for it. A buffer grown by a long stack trace is let go.
  thread_local std::wstring t_line;
  std::wstring& line = t_line;
  composeEventLine(line, event, true);
  writeToTraceFile(file.get(), line.data(), line.size());
  if (line.capacity() > kKeptLineCapacity) std::wstring().swap(line);
}

// Kept for the exported interface; the device itself holds the file through
// an owner, which closes it on every way out.
HANDLE FileLogDevice::OpenTraceFile(const std::wstring& path) {
  os::OwnedTraceFile file = openTraceFile(path);
  return file.valid() ? toInterface(file.release()) : nullptr;
}

void FileLogDevice::WriteToTraceFile(HANDLE file, const wchar_t* text) {
  if (file && text) writeToTraceFile(fromInterface(file), text, std::wcslen(text));
}

void FileLogDevice::CloseTraceFile(HANDLE file) {
  if (file) os::traceFileClose(fromInterface(file));
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
