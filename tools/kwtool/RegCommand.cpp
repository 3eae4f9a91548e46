// kwtool reg get|set|delete: the settings the library reads, under
// HKEY_LOCAL_MACHINE\Software\Kestrelwright unless told otherwise.
#include <kw/ByteArray.h>
#include <kw/Registry.h>
#include <kw/Tools.h>

#include "kwtool/Attribute.h"
#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/SafeText.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

namespace {

// The registry's own advice for the size of one value.
constexpr std::int64_t kMaxValueBytes = 1024 * 1024;

// Never a real setting: tells a missing string or byte value from a stored one.
const wchar_t kMissingText[] = L"\x01kwtool: no such value\x02";
const char kMissingBytes[] = "\x01kwtool: no such value\x02";

// The value as `set` would take it, trying the three types in turn; false
// when there is no such value.
bool describe(const kw::Registry& registry, const std::wstring& name, std::wstring& text) {
  std::wstring stringValue = registry.read(name.c_str(), kMissingText);
  if (stringValue != kMissingText) {
    // Any program may write a setting: its controls show escaped, as decode
    // shows them, but a backslash as itself, so a Windows path prints as
    // set takes it.
    text = Attribute::toArgument(name, SafeText::fromWide(stringValue, L"\\"));
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

int set(const CommandLine& line, const kw::Registry& registry, const std::wstring& where,
        Console& console) {
  // Parse everything first so a typo writes nothing.
  std::vector<Attribute> values;
  for (const std::wstring& operand : line.operands())
    values.push_back(Attribute::parse(operand, line.usage(), kMaxValueBytes));
  int status = 0;
  for (const Attribute& value : values) {
    if (!value.writeTo(registry)) {
      console.error(L"cannot write " + value.name() + where);
      status = 1;
    } else {
      ToolTrace::info(ToolSiteId::SettingSet, L"Set " + value.name() + where, __LINE__, L"set");
    }
  }
  return status;
}

// get or delete, name by name.
int getOrDelete(const CommandLine& line, const kw::Registry& registry, const std::wstring& where,
                Console& console) {
  const bool remove = line.action() == L"delete";
  int status = 0;
  for (const std::wstring& name : line.operands()) {
    std::wstring text;
    if (remove ? registry.deleteValue(name.c_str()) : describe(registry, name, text)) {
      if (!text.empty()) console.print(text);
      if (remove)
        ToolTrace::info(ToolSiteId::SettingDeleted, L"Deleted " + name + where, __LINE__,
                        L"getOrDelete");
    } else {
      console.error((remove ? L"cannot delete " : L"no value ") + name + where);
      status = 1;
    }
  }
  return status;
}

}  // namespace

bool registryRoot(const std::wstring& name, HKEY& root) {
  std::wstring upper = name;
  kw::Tools::stringToUpper(upper);
  if (upper == L"HKLM" || upper == L"HKEY_LOCAL_MACHINE") {
    root = HKEY_LOCAL_MACHINE;
  } else if (upper == L"HKCU" || upper == L"HKEY_CURRENT_USER") {
    root = HKEY_CURRENT_USER;
  } else {
    return false;
  }
  return true;
}

int runReg(const CommandLine& line, Console& console) {
  const std::wstring rootName = line.text(L"--root", L"HKEY_LOCAL_MACHINE");
  HKEY root = HKEY_LOCAL_MACHINE;
  registryRoot(rootName, root);
  const std::wstring key = line.text(L"--key", L"Software\\Kestrelwright");
  if (line.operands().empty()) line.fail(L"nothing to " + line.action());
  const std::wstring where = L" under " + rootName + L"\\" + key;
  const kw::Registry registry(root, key.c_str());
  return line.action() == L"set" ? set(line, registry, where, console)
                                 : getOrDelete(line, registry, where, console);
}

}  // namespace kwtool
