#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool listen: the reader end of a channel, printing what arrives.
class ListenCommand {
 public:
  static const wchar_t kUsage[];
  static int run(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  ListenCommand() = delete;
};

}  // namespace kwtool
