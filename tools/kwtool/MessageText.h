// A message as kwtool prints it.
#pragma once

#include "kwtool/Console.h"

namespace kw {
class Msg;
}

namespace kwtool {

// A message as kwtool shows it: "Type: NAME (n)", then one line per attribute.
class MessageText {
 public:
  static void print(const kw::Msg& msg, Console& console);

  MessageText() = delete;
};

}  // namespace kwtool
