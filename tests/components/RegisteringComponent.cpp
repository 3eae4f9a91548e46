// A component whose registration works: it leaves a marker file while
// registered, in the folder that KW_COMPONENT_MARKERS names or else in the
// current directory.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ComponentExport.h"

namespace {

std::string markerPath() {
  const char* folder = std::getenv("KW_COMPONENT_MARKERS");
  return (folder && *folder ? std::string(folder) + "/" : std::string()) + "component.registered";
}

}  // namespace

KW_COMPONENT_EXPORT std::int32_t DllRegisterServer() {
  FILE* file = std::fopen(markerPath().c_str(), "w");
  return file && std::fclose(file) == 0 ? 0 : kComponentFailure;
}

// S_FALSE: a positive status is a success as well. Nothing left to remove
// is no failure either.
KW_COMPONENT_EXPORT std::int32_t DllUnregisterServer() {
  std::remove(markerPath().c_str());
  return 1;
}
