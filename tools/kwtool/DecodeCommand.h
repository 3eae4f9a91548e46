#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool decode: wire bytes, raw or as hex, back to a message's text form.
class DecodeCommand {
 public:
  static const wchar_t kUsage[];
  static int run(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  DecodeCommand() = delete;
};

}  // namespace kwtool
