#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool reg get|set|delete: the settings the library reads, under
// HKEY_LOCAL_MACHINE\Software\Kestrelwright unless told otherwise.
class RegCommand {
 public:
  static const wchar_t kUsage[];
  static int run(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  RegCommand() = delete;
};

}  // namespace kwtool
