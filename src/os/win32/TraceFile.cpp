// The trace file on Windows: opened for append with no sharing, one event per open.
// Twin: src/os/posix/TraceFile.cpp.
#include "os/TraceFile.h"

#include <kw/Platform.h>

#include "os/ErrorText.h"

namespace kw::os {

namespace {

HANDLE toSystem(TraceFileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}

}  // namespace

OwnedTraceFile traceFileOpen(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  // INVALID_HANDLE_VALUE is TraceFileHandle::None.
  OwnedTraceFile owned(static_cast<TraceFileHandle>(reinterpret_cast<std::intptr_t>(file)));
  if (owned.valid()) SetFilePointer(file, 0, nullptr, FILE_END);
  return owned;
}

void traceFileWrite(TraceFileHandle file, const wchar_t* text, std::size_t length) {
  DWORD written = 0;
  WriteFile(toSystem(file), text, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr);
}

void traceFileClose(TraceFileHandle file) {
  keepingLastError([file] { CloseHandle(toSystem(file)); });
}

}  // namespace kw::os
