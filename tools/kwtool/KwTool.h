#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kwtool {

// The command line's entry: picks the command, and turns usage errors into
// exit code 2 and library exceptions into exit code 1.
class KwTool {
 public:
  // args excludes the program name.
  static int run(const std::vector<std::wstring>& args, std::istream& in, std::ostream& out,
                 std::ostream& err);

  KwTool() = delete;
};

}  // namespace kwtool
