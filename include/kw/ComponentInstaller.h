// ComponentInstaller: registers and unregisters the suite's component libraries.
#pragma once

#include <kw/FileName.h>
#include <kw/Platform.h>

#include <vector>

namespace kw {

// Registers and unregisters the suite's component libraries through their
// self-registration entry points. Every outcome goes to the trace devices
// only; nothing is thrown and one failing component does not stop the
// others. Each component changes the process's current directory to its
// folder, so no two calls may run at once.
class KW_API ComponentInstaller {
 public:
  // Registers the suite's components from the folder named by "InstallDir".
  static void installComponents();
  // Unregisters the suite's components from the folder named by "InstallDir".
  static void uninstallComponents();

  ComponentInstaller() = delete;

 protected:
  // Appends the four components, in the folder named by "InstallDir".
  static void buildComponentList(std::vector<FileName>& list);
  // Registers each listed component in turn.
  static void installComponents(std::vector<FileName>& list);
  // Unregisters each listed component in turn.
  static void uninstallComponents(std::vector<FileName>& list);
  // Loads one library and calls its registration entry point.
  static void installComponent(const FileName& dll);
  // Loads one library and calls its unregistration entry point.
  static void uninstallComponent(const FileName& dll);
};

}  // namespace kw
