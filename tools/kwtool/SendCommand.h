#pragma once

#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// kwtool send: the writer end of a channel, sending messages built from
// attributes.
class SendCommand {
 public:
  static const wchar_t kUsage[];
  static int run(const std::vector<std::wstring>& args, std::size_t first, Console& console);

  SendCommand() = delete;
};

}  // namespace kwtool
