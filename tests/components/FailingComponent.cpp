// A component whose entry points fail, leaving a known system error behind
// as a failing registration would.
#include <cerrno>

#include "ComponentExport.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

std::int32_t fail() {
#if defined(_WIN32)
  SetLastError(ERROR_ACCESS_DENIED);
#else
  errno = EACCES;
#endif
  return kComponentFailure;
}

}  // namespace

KW_COMPONENT_EXPORT std::int32_t DllRegisterServer() { return fail(); }
KW_COMPONENT_EXPORT std::int32_t DllUnregisterServer() { return fail(); }
