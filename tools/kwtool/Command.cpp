// kwtool's command table and the texts that --help shows for each command.
#include "kwtool/Command.h"

#include "kwtool/Handlers.h"

namespace kwtool {

namespace {

const wchar_t kEncodeUsage[] = L"usage: kwtool encode [--out FILE] NAME[:TYPE]=VALUE|FILE|-...";
const wchar_t kEncodeHelp[] =
    LR"(Builds a message from its attributes and writes its wire bytes: as hex on
standard output, or raw to FILE with --out.

  NAME=VALUE        an int when VALUE is a decimal 32-bit integer, else a string
  NAME:int=VALUE    an int, decimal or 0x followed by up to 8 hex digits
  NAME:str=VALUE    a string
  NAME:hex=DIGITS   a byte array given as hex digits
  NAME:file=PATH    a byte array read from a file
  FILE, -           attributes one a line, from a file (a name without "=")
                    or from standard input

MsgType also takes a type name: MsgType=SYSTEM_STATE_CHANGE is MsgType=2.
A line is written as decode prints it: the same forms, with \\, \n, \r,
\t, \0, \xHH and \uHHHH escapes in its name and value; blank lines and
decode's "Type:" line are skipped. Arguments hold no escapes. A message
built from lines holds only what they say (no MsgType of its own), so
kwtool decode m.bin | kwtool encode --out m2.bin - gives m.bin back.
Example: kwtool encode MsgType=2 SystemState=Busy)";

const wchar_t kDecodeUsage[] = L"usage: kwtool decode [--hex|--raw] [FILE|-]";
const wchar_t kDecodeHelp[] =
    LR"(Parses a message's wire bytes from FILE, or standard input when FILE is
"-" or missing, and prints its type and then its attributes, one a line
in the form that encode reads back: Name:int=3, Name:str=text or
Name:hex=00ff. Control characters, bidirectional controls and unpaired
surrogates in names and texts show escaped (\x1b, \u202e, \0), a
backslash as \\ and an "=" in a name as \x3d. Input that starts with a
hex digit or white space is read as hex, anything else as raw bytes;
--hex and --raw say which. Only as many bytes as the message's header
claims are read. A malformed message prints its error ID and
description and exits with 1.)";

const wchar_t kRegUsage[] = L"usage: kwtool reg get|set|delete [--root HKLM|HKCU] [--key PATH] ...";
const wchar_t kRegHelp[] =
    LR"(Reads, writes and deletes values of the settings store: the Windows
registry, or its SQLite counterpart on Linux (KW_REGISTRY_DIR moves it).

  --root HKLM|HKCU  HKEY_LOCAL_MACHINE (the default) or HKEY_CURRENT_USER
  --key PATH        the key the names are relative to (Software\Kestrelwright)

A NAME may hold backslashes: Sub\Value is Value in the subkey Sub.
get prints each value as set takes it: NAME:int=1, NAME:str=text or
NAME:hex=00ff; control characters in a string show escaped (\x1b), as
decode shows them, a backslash as itself. set takes the types of kwtool encode (NAME=1 is an int);
delete removes values directly under the key.
Example: kwtool reg set kwtoolConsoleTrace=1 kwtoolFileLogging=1)";

const wchar_t kRegGetUsage[] = L"usage: kwtool reg get [--root HKLM|HKCU] [--key PATH] NAME...";
const wchar_t kRegSetUsage[] =
    L"usage: kwtool reg set [--root HKLM|HKCU] [--key PATH] NAME[:TYPE]=VALUE...";
const wchar_t kRegDeleteUsage[] =
    L"usage: kwtool reg delete [--root HKLM|HKCU] [--key PATH] NAME...";

const wchar_t kLogUsage[] = L"usage: kwtool log [-f] FILE";
const wchar_t kLogHelp[] =
    LR"(Prints a trace file, which the library writes as UTF-16 text, as UTF-8
with "\n" line ends. With -f it goes on printing what is appended until
interrupted; a file that is emptied or made anew is followed from its
start.)";

const wchar_t kListenUsage[] = L"usage: kwtool listen [--count N] [--seconds S] NAME";
const wchar_t kListenHelp[] =
    LR"(Opens the reader end of the channel NAME and prints each message that
arrives, a blank line after each, until interrupted (Ctrl+C, SIGTERM), until N
messages have arrived (--count) or S seconds have passed (--seconds).
Start `kwtool send NAME ...` in another terminal, before or after.)";

const wchar_t kSendUsage[] =
    L"usage: kwtool send [--seconds S] [--repeat N] NAME ATTR... [+ ATTR...]...";
const wchar_t kSendHelp[] =
    LR"(Opens the writer end of the channel NAME and sends messages built from
attributes as `kwtool encode` takes them; a lone "+" starts the next
message, and --repeat sends the whole list N times. It then waits until
the reader has taken every message, or S seconds (default 10) have
passed: exit code 0 when all were taken, 3 after the time-out, 130 or
143 when Ctrl+C or SIGTERM stopped it.
Example: kwtool send Demo MsgType=UPDATE Item=report + MsgType=2 State=Busy)";

const wchar_t kInstallUsage[] = L"usage: kwtool install-components";
const wchar_t kInstallHelp[] =
    LR"(Registers the suite's component libraries (VRXInternetExplorer, VRXOffice,
VRXOutlook, CorvaneInstaller) from the folder that the setting InstallDir
under HKLM\Software\Kestrelwright names, and prints each outcome.
Exits with 0 when every component registered, 1 otherwise.
Example: kwtool reg set InstallDir:str=/opt/Kestrelwright/)";

const wchar_t kUninstallUsage[] = L"usage: kwtool uninstall-components";
const wchar_t kUninstallHelp[] =
    LR"(Unregisters the suite's component libraries from the folder that the
setting InstallDir under HKLM\Software\Kestrelwright names, and prints
each outcome. Exits with 0 when every component unregistered, 1 otherwise.)";

bool isRegistryRoot(const std::wstring& name) {
  HKEY root;
  return registryRoot(name, root);
}

using Option = CommandLine::Option;

}  // namespace

const std::vector<Command>& Command::all() {
  static const std::vector<Command> kTable = {
      {L"encode",
       L"build a message from attributes and write its wire bytes",
       kEncodeUsage,
       kEncodeHelp,
       {{L"--out", L"--out", Option::Value}},
       &runEncode},
      {L"decode",
       L"print the message that wire bytes hold",
       kDecodeUsage,
       kDecodeHelp,
       {{L"--hex", L"format", Option::Flag}, {L"--raw", L"format", Option::Flag}},
       &runDecode},
      {L"reg",
       L"read and write the settings store",
       kRegUsage,
       kRegHelp,
       {{L"--root", L"--root", Option::Value, &isRegistryRoot, L"unknown root key "},
        {L"--key", L"--key", Option::Value}},
       &runReg,
       {{L"get", kRegGetUsage}, {L"set", kRegSetUsage}, {L"delete", kRegDeleteUsage}}},
      {L"log",
       L"print a trace file as UTF-8 text",
       kLogUsage,
       kLogHelp,
       {{L"-f", L"follow", Option::Flag}, {L"--follow", L"follow", Option::Flag}},
       &runLog,
       {},
       false},
      {L"listen",
       L"print the messages that arrive on a channel",
       kListenUsage,
       kListenHelp,
       {{L"--count", L"--count", Option::Count}, {L"--seconds", L"--seconds", Option::Count}},
       &runListen},
      {L"send",
       L"send messages on a channel",
       kSendUsage,
       kSendHelp,
       {{L"--seconds", L"--seconds", Option::Count}, {L"--repeat", L"--repeat", Option::Count}},
       &runSend},
      {L"install-components",
       L"register the suite's component libraries",
       kInstallUsage,
       kInstallHelp,
       {},
       &runInstallComponents},
      {L"uninstall-components",
       L"unregister them",
       kUninstallUsage,
       kUninstallHelp,
       {},
       &runUninstallComponents},
  };
  return kTable;
}

const Command* Command::find(const std::wstring& name) {
  for (const Command& command : all()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace kwtool
