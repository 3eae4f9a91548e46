#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool log: a UTF-16 trace file as UTF-8 text, and followed as it grows.
class LogCommand {
 public:
  static const wchar_t kUsage[];
  static int run(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  LogCommand() = delete;
};

}  // namespace kwtool
