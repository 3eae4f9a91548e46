// A message as kwtool prints it.
#pragma once

#include "kwtool/Console.h"

namespace kw {
class Msg;
}

namespace kwtool {

// A message as kwtool shows it: "Type: NAME (n)", then one line per
// attribute in the form that encode reads back (Name:int=3, Name:str=text,
// Name:hex=00ff), its name and text escaped as foreign text is, and an "="
// in its name as \x3d.
class MessageText {
 public:
  static void print(const kw::Msg& msg, Console& console);

  MessageText() = delete;
};

}  // namespace kwtool
