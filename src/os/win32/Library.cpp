#include "os/Library.h"

#include <windows.h>

namespace kw::os {

bool setCurrentFolder(const std::wstring& folder) {
  return SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

LibraryHandle loadLibrary(const std::wstring& path) { return LoadLibraryW(path.c_str()); }

EntryPoint findEntryPoint(LibraryHandle library, const char* name) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
  // Through void*: FARPROC and the entry point's type differ.
  return reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(address));
}

void unloadLibrary(LibraryHandle library) { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace kw::os
