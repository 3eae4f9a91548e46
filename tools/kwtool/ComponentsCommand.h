#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool install-components and uninstall-components: the component
// installer for users, with each outcome that it traces printed.
class ComponentsCommand {
 public:
  static const wchar_t kInstallUsage[];
  static const wchar_t kUninstallUsage[];
  static int install(const std::vector<std::wstring>& args, std::size_t first, Console& console);
  static int uninstall(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  ComponentsCommand() = delete;
};

}  // namespace kwtool
