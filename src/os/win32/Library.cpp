// Dynamic libraries on Windows: the system loader. Twin of posix/Library.cpp.
#include "os/Library.h"

#include <windows.h>

namespace kw::os {

namespace {

HMODULE module(LibraryHandle library) { return static_cast<HMODULE>(static_cast<void*>(library)); }

}  // namespace

bool setCurrentFolder(const std::wstring& folder) {
  return SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

LibraryHandle loadLibrary(const std::wstring& path) {
  return static_cast<LibraryHandle>(static_cast<void*>(LoadLibraryW(path.c_str())));
}

EntryPoint findEntryPoint(LibraryHandle library, const char* name) {
  FARPROC address = GetProcAddress(module(library), name);
  // Through void*: FARPROC and the entry point's type differ.
  return reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(address));
}

void unloadLibrary(LibraryHandle library) { FreeLibrary(module(library)); }

}  // namespace kw::os
