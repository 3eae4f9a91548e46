// kwtool's entry after the process set-up.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "kwtool/Console.h"

namespace kwtool {

// The command line's entry: picks the command, and turns usage errors into
// exit code 2 and library exceptions into exit code 1.
class KwTool {
 public:
  // args excludes the program name.
  static int run(const std::vector<std::wstring>& args, std::istream& in, std::ostream& out,
                 std::ostream& err, Console::Encoding encoding = Console::Encoding::Utf8);
  // The same for a program's arguments as bytes: each must be UTF-8 text,
  // since a name that cannot be converted would name some other file or
  // channel; otherwise a usage error.
  static int runUtf8(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                     std::ostream& err);

  KwTool() = delete;
};

}  // namespace kwtool
