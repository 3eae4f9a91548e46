// kwtool run in this process on given arguments and input, for the tools
// suite alone (the only one that links kwtool's code).
#pragma once

#include <istream>
#include <sstream>
#include <string>
#include <vector>

#include "kwtool/KwTool.h"

namespace kwtest {

struct ToolResult {
  int code;
  std::string out;
  std::string err;
};

inline ToolResult runTool(const std::vector<std::wstring>& args, std::istream& in) {
  std::ostringstream out, err;
  const int code = kwtool::KwTool::run(args, in, out, err);
  return {code, out.str(), err.str()};
}

inline ToolResult runTool(const std::vector<std::wstring>& args, const std::string& input = "") {
  std::istringstream in(input);
  return runTool(args, in);
}

}  // namespace kwtest
