// Dynamic libraries on Linux: the dynamic loader. Twin of win32/Library.cpp.
#include "os/Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include "Utf16.h"
#include "os/ErrorText.h"

namespace kw::os {

bool setCurrentFolder(const std::wstring& folder) {
  return ::chdir(utf16::toUtf8(folder).c_str()) == 0;
}

LibraryHandle loadLibrary(const std::wstring& path) {
  std::string file = utf16::toUtf8(path);
  // Without a slash dlopen would search the library path instead.
  if (file.find('/') == std::string::npos) file.insert(0, "./");
  // dlopen says why only in text; the file check gives the errno that
  // the error text of the events can show.
  if (::access(file.c_str(), R_OK) != 0) return nullptr;
  void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return failing(ENOEXEC, nullptr);
  return static_cast<LibraryHandle>(library);
}

EntryPoint findEntryPoint(LibraryHandle library, const char* name) {
  ::dlerror();
  void* symbol = ::dlsym(library, name);
  if (!symbol) setLastError(ENOSYS);
  return reinterpret_cast<EntryPoint>(symbol);
}

// The library's destructors may touch errno; the caller's last error stays.
void unloadLibrary(LibraryHandle library) {
  keepingLastError([library] { ::dlclose(library); });
}

}  // namespace kw::os
