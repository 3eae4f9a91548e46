// kwtool's command table: each command's name, texts, options and handler.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"

namespace kwtool {

// One entry of the table; a new command is a handler and one entry.
struct Command {
  const wchar_t* name;
  // Its line in kwtool's overview.
  const wchar_t* summary;
  const wchar_t* usage;
  const wchar_t* help;
  std::vector<CommandLine::Option> options;
  int (*run)(const CommandLine& line, Console& console);
  // Subcommands named before the options (reg get), each with its usage line.
  std::vector<std::pair<const wchar_t*, const wchar_t*>> actions = {};
  // Whether its start and end are traced: reading the trace file must not
  // add to it.
  bool traced = true;

  // The table in the overview's order, and an entry by its name (null for
  // none).
  static const std::vector<Command>& all();
  static const Command* find(const std::wstring& name);
};

}  // namespace kwtool
