#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool encode: a message from typed attributes, as wire bytes.
class EncodeCommand {
 public:
  static const wchar_t kUsage[];
  // args[first] is the first argument after the command's name.
  static int run(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  EncodeCommand() = delete;
};

}  // namespace kwtool
