// The component libraries that tests/components builds for the installer's
// tests: VRXInternetExplorer registers (leaving a marker file while
// registered), VRXOffice fails with a negative status, VRXOutlook exports
// no entry point, CorvaneInstaller is missing.
#pragma once

#include <string>

#include "support/ScratchDir.h"

namespace kwtest {

// Their folder, ending in a separator; on Windows with backslashes only.
std::wstring componentFolder();
// ".dll" or ".so".
const wchar_t* componentExtension();

// Points the registering component's marker at a folder of the test's own
// for the scope.
class ComponentMarkers {
 public:
  ComponentMarkers();
  ~ComponentMarkers();
  ComponentMarkers(const ComponentMarkers&) = delete;
  ComponentMarkers& operator=(const ComponentMarkers&) = delete;

  // The marker is there.
  bool registered() const;

 private:
  ScratchDir m_folder;
};

}  // namespace kwtest
