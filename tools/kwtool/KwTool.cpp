// kwtool's entry after the process set-up: finds the command in the table,
// runs it, and turns every failure into a message and an exit code.
#include "kwtool/KwTool.h"

#include <kw/Exception.h>
#include <kw/Tools.h>

#include <exception>
#include <new>
#include <ostream>

#include "kwtool/Command.h"
#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Refusal.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"
#include "kwtool/UsageError.h"

namespace kwtool {

namespace {

std::wstring usage() {
  std::wstring names;
  for (const Command& command : Command::all())
    names += (names.empty() ? L"" : L"|") + std::wstring(command.name);
  return L"usage: kwtool " + names + L" [--help] ...";
}

// The library's version, from the build.
std::wstring version() {
  const std::string number = KW_VERSION;
  return L"kwtool (kwbase) " + std::wstring(number.begin(), number.end());
}

// The overview: a line for each command, whose summary starts in one of
// two columns.
std::wstring help() {
  std::wstring text = L"The Kestrelwright base library from the command line.\n\n";
  for (const Command& command : Command::all()) {
    std::wstring name = command.name;
    name.resize(name.size() + 2 <= 9 ? 9 : 22, L' ');
    text += L"  " + name + command.summary + L"\n";
  }
  return text + L"\nkwtool COMMAND --help tells more; kwtool --version prints the version.";
}

// "a, b or c"
std::wstring alternatives(const Command& command) {
  std::wstring text;
  for (std::size_t i = 0; i < command.actions.size(); ++i) {
    if (i > 0) text += i + 1 == command.actions.size() ? L" or " : L", ";
    text += command.actions[i].first;
  }
  return text;
}

// The usage line of the action that follows the command's name, which
// starts its options at `first`.
std::wstring actionUsage(const Command& command, const std::vector<std::wstring>& args,
                         std::size_t& first) {
  if (first == args.size()) throw UsageError(L"missing " + alternatives(command), command.usage);
  const std::wstring& action = args[first++];
  for (const auto& known : command.actions) {
    if (action == known.first) return known.second;
  }
  throw UsageError(L"unknown action \"" + action + L"\"", command.usage);
}

int runCommand(const Command& command, const std::vector<std::wstring>& args, Console& console) {
  std::size_t first = 1;
  std::wstring usage = command.usage;
  std::wstring action;
  if (!command.actions.empty()) {
    if (first < args.size() && CommandLine::isHelp(args[first]))
      return console.help(command.usage, command.help);
    usage = actionUsage(command, args, first);
    action = args[first - 1];
  }
  const CommandLine line(args, first, usage, command.options, action);
  if (line.helpAsked()) return console.help(usage, command.help);
  return command.run(line, console);
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF):
// the library's conversion replaces anything else, which then does not
// convert back to the same bytes.
bool decodeUtf8(const std::string& bytes, std::wstring& text) {
  text = kw::Tools::widenNarrowString(bytes);
  return kw::Tools::narrowWideString(text) == bytes;
}

}  // namespace

int KwTool::runUtf8(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                    std::ostream& err) {
  std::vector<std::wstring> wide(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!decodeUtf8(args[i], wide[i])) {
      err << "kwtool: argument " << i + 1
          << " is not UTF-8 text (names of files and channels must be)\n"
          << kw::Tools::narrowWideString(usage()) << '\n';
      return 2;
    }
  }
  return run(wide, in, out, err);
}

int KwTool::run(const std::vector<std::wstring>& args, std::istream& in, std::ostream& out,
                std::ostream& err, Console::Encoding encoding) {
  Console console(in, out, err, encoding);
  try {
    if (!args.empty() && (CommandLine::isHelp(args[0]) || args[0] == L"help"))
      return console.help(usage(), help());
    if (!args.empty() && args[0] == L"--version") {
      if (args.size() > 1) throw UsageError(L"--version takes nothing after it", usage());
      console.print(version());
      return 0;
    }
    if (args.empty()) throw UsageError(L"no command given", usage());
    const Command* command = Command::find(args[0]);
    if (!command) throw UsageError(L"unknown command \"" + args[0] + L"\"", usage());
    if (!command->traced) return runCommand(*command, args, console);
    ToolTrace::info(ToolSiteId::CommandStarted, L"kwtool " + args[0] + L" started", __LINE__,
                    L"KwTool::run");
    int code = runCommand(*command, args, console);
    ToolTrace::info(ToolSiteId::CommandEnded,
                    L"kwtool " + args[0] + L" ended with exit code " + std::to_wstring(code),
                    __LINE__, L"KwTool::run");
    return code;
  } catch (const UsageError& e) {
    console.error(e.message(), e.usage());
    return 2;
  } catch (const Refusal& e) {
    console.error(e.message());
    return 1;
  } catch (const kw::Exception& e) {
    console.error(std::to_wstring(e.getExceptionID()) + L" " + e.getDescription());
    return 1;
  } catch (const std::bad_alloc&) {
    err << "kwtool: out of memory\n";
    return 1;
  } catch (const std::exception& e) {
    err << "kwtool: " << e.what() << '\n';
    return 1;
  } catch (...) {
    err << "kwtool: failed for an unknown reason\n";
    return 1;
  }
}

}  // namespace kwtool
