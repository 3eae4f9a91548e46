#include "kwtool/RegCommand.h"

#include <kw/ByteArray.h>
#include <kw/Registry.h>
#include <kw/Tools.h>

#include "kwtool/ArgReader.h"
#include "kwtool/Attribute.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

const wchar_t RegCommand::kUsage[] =
    L"usage: kwtool reg get|set|delete [--root HKLM|HKCU] [--key PATH] ...";

namespace {

const wchar_t kGetUsage[] = L"usage: kwtool reg get [--root HKLM|HKCU] [--key PATH] NAME...";
const wchar_t kSetUsage[] =
    L"usage: kwtool reg set [--root HKLM|HKCU] [--key PATH] NAME[:TYPE]=VALUE...";
const wchar_t kDeleteUsage[] = L"usage: kwtool reg delete [--root HKLM|HKCU] [--key PATH] NAME...";

const wchar_t kHelp[] =
    L"Reads, writes and deletes values of the settings store: the Windows\n"
    L"registry, or its SQLite counterpart on Linux (KW_REGISTRY_DIR moves it).\n"
    L"\n"
    L"  --root HKLM|HKCU  HKEY_LOCAL_MACHINE (the default) or HKEY_CURRENT_USER\n"
    L"  --key PATH        the key the names are relative to (Software\\Kestrelwright)\n"
    L"\n"
    L"A NAME may hold backslashes: Sub\\Value is Value in the subkey Sub.\n"
    L"get prints each value as set takes it: NAME:int=1, NAME:str=text or\n"
    L"NAME:hex=00ff. set takes the types of kwtool encode (NAME=1 is an int);\n"
    L"delete removes values directly under the key.\n"
    L"Example: kwtool reg set kwtoolConsoleTrace=1 kwtoolFileLogging=1";

// The registry's own advice for the size of one value.
constexpr std::int64_t kMaxValueBytes = 1024 * 1024;

// Never a real setting: tells a missing string or byte value from a stored one.
const wchar_t kMissingText[] = L"\x01kwtool: no such value\x02";
const char kMissingBytes[] = "\x01kwtool: no such value\x02";

bool parseRoot(std::wstring name, HKEY& root) {
  kw::Tools::stringToUpper(name);
  if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE") {
    root = HKEY_LOCAL_MACHINE;
  } else if (name == L"HKCU" || name == L"HKEY_CURRENT_USER") {
    root = HKEY_CURRENT_USER;
  } else {
    return false;
  }
  return true;
}

// The value as `set` would take it, trying the three types in turn; false
// when there is no such value.
bool describe(const kw::Registry& registry, const std::wstring& name, std::wstring& text) {
  std::wstring stringValue = registry.read(name.c_str(), kMissingText);
  if (stringValue != kMissingText) {
    text = Attribute::toArgument(name, stringValue);
    return true;
  }
  const kw::ByteArray missing(kMissingBytes, sizeof kMissingBytes - 1);
  kw::ByteArray bytes = registry.read(name.c_str(), &missing);
  if (bytes != missing) {
    text = Attribute::toArgument(name, bytes);
    return true;
  }
  // Any value of up to four bytes reads as an int; only a missing one
  // gives back each default.
  int value = registry.read(name.c_str(), 0);
  if (value == 0 && registry.read(name.c_str(), 1) == 1) return false;
  text = Attribute::toArgument(name, value);
  return true;
}

}  // namespace

int RegCommand::run(const std::vector<std::wstring>& args, std::size_t first, Console& console) {
  if (first < args.size() && ArgReader::isHelp(args[first])) return console.help(kUsage, kHelp);
  ArgReader head(args, first, kUsage);
  if (head.done()) head.fail(L"missing get, set or delete");
  const std::wstring action = head.take();
  const wchar_t* usage = action == L"get"      ? kGetUsage
                         : action == L"set"    ? kSetUsage
                         : action == L"delete" ? kDeleteUsage
                                               : nullptr;
  if (!usage) head.fail(L"unknown action \"" + action + L"\"");

  ArgReader reader(args, first + 1, usage);
  HKEY root = HKEY_LOCAL_MACHINE;
  std::wstring rootName = L"HKEY_LOCAL_MACHINE";
  std::wstring key = L"Software\\Kestrelwright";
  std::wstring option;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(usage, kHelp);
    if (option == L"--root") {
      rootName = reader.value(option);
      if (!parseRoot(rootName, root)) reader.fail(L"unknown root key " + rootName);
    } else if (option == L"--key") {
      key = reader.value(option);
    } else {
      reader.unknown(option);
    }
  }
  if (reader.done()) reader.fail(L"nothing to " + action);
  const std::vector<std::wstring> operands = reader.rest();
  const std::wstring where = L" under " + rootName + L"\\" + key;

  kw::Registry registry(root, key.c_str());
  int status = 0;
  if (action == L"set") {
    // Parse everything first so a typo writes nothing.
    std::vector<Attribute> values;
    for (const std::wstring& operand : operands)
      values.push_back(Attribute::parse(operand, usage, kMaxValueBytes));
    for (const Attribute& value : values) {
      if (!value.writeTo(registry)) {
        console.error(L"cannot write " + value.name() + where);
        status = 1;
      } else {
        ToolTrace::info(ToolSiteId::SettingSet, L"Set " + value.name() + where, __LINE__,
                        L"RegCommand::run");
      }
    }
    return status;
  }
  for (const std::wstring& name : operands) {
    std::wstring text;
    if (action == L"delete" ? registry.deleteValue(name.c_str()) : describe(registry, name, text)) {
      if (!text.empty()) console.print(text);
      if (action == L"delete")
        ToolTrace::info(ToolSiteId::SettingDeleted, L"Deleted " + name + where, __LINE__,
                        L"RegCommand::run");
    } else {
      console.error((action == L"delete" ? L"cannot delete " : L"no value ") + name + where);
      status = 1;
    }
  }
  return status;
}

}  // namespace kwtool
