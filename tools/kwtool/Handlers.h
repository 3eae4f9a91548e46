// The handlers of kwtool's commands, each in a file of its own
// (EncodeCommand.cpp, ...), listed in the command table of Command.cpp.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kwtool {

class CommandLine;
class Console;

int runEncode(const CommandLine& line, Console& console);
int runDecode(const CommandLine& line, Console& console);
int runReg(const CommandLine& line, Console& console);
int runLog(const CommandLine& line, Console& console);
int runListen(const CommandLine& line, Console& console);
int runSend(const CommandLine& line, Console& console);
int runInstallComponents(const CommandLine& line, Console& console);
int runUninstallComponents(const CommandLine& line, Console& console);

// The root key that reg's --root names (HKLM, HKEY_CURRENT_USER, ... in any
// case); false for another name.
bool registryRoot(const std::wstring& name, HKEY& root);

}  // namespace kwtool
