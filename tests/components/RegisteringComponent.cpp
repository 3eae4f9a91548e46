// A component whose registration works: it leaves a marker file while
// registered, in the folder that KW_COMPONENT_MARKERS names or else in the
// current directory.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ComponentExport.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char kMarker[] = "component.registered";

#if defined(_WIN32)
// The process's own environment: the runtime's copy may be older.
std::wstring markerPath() {
  wchar_t folder[MAX_PATH] = {};
  DWORD length = GetEnvironmentVariableW(L"KW_COMPONENT_MARKERS", folder, MAX_PATH);
  std::wstring path = length > 0 && length < MAX_PATH ? std::wstring(folder) + L"\\" : L"";
  for (const char* c = kMarker; *c; ++c) path += static_cast<wchar_t>(*c);
  return path;
}
bool writeMarker() {
  FILE* file = _wfopen(markerPath().c_str(), L"w");
  return file && std::fclose(file) == 0;
}
void removeMarker() { DeleteFileW(markerPath().c_str()); }
#else
std::string markerPath() {
  const char* folder = std::getenv("KW_COMPONENT_MARKERS");
  return folder && *folder ? std::string(folder) + "/" + kMarker : std::string(kMarker);
}
bool writeMarker() {
  FILE* file = std::fopen(markerPath().c_str(), "w");
  return file && std::fclose(file) == 0;
}
void removeMarker() { std::remove(markerPath().c_str()); }
#endif

}  // namespace

KW_COMPONENT_EXPORT std::int32_t DllRegisterServer() {
  return writeMarker() ? 0 : kComponentFailure;
}

// S_FALSE: a positive status is a success as well. Nothing left to remove
// is no failure either.
KW_COMPONENT_EXPORT std::int32_t DllUnregisterServer() {
  removeMarker();
  return 1;
}
