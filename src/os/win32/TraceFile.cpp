// The trace file on Windows: opened for append with no sharing, one event per open.
// Twin: src/os/posix/TraceFile.cpp.
#include "os/TraceFile.h"

namespace kw::os {

HANDLE traceFileOpen(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  SetFilePointer(file, 0, nullptr, FILE_END);
  return file;
}

void traceFileWrite(HANDLE file, const wchar_t* text, std::size_t length) {
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr);
}

void traceFileClose(HANDLE file) { CloseHandle(file); }

}  // namespace kw::os
