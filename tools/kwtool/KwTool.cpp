#include "kwtool/KwTool.h"

#include <kw/Exception.h>
#include <kw/Tools.h>

#include <cstdint>
#include <exception>
#include <new>
#include <ostream>

#include "kwtool/ArgReader.h"
#include "kwtool/ComponentsCommand.h"
#include "kwtool/Console.h"
#include "kwtool/DecodeCommand.h"
#include "kwtool/EncodeCommand.h"
#include "kwtool/ListenCommand.h"
#include "kwtool/LogCommand.h"
#include "kwtool/Refusal.h"
#include "kwtool/RegCommand.h"
#include "kwtool/SendCommand.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"
#include "kwtool/UsageError.h"

namespace kwtool {

namespace {

const wchar_t kUsage[] =
    L"usage: kwtool encode|decode|reg|log|listen|send|install-components|uninstall-components "
    L"[--help] ...";

const wchar_t kHelp[] =
    L"The Kestrelwright base library from the command line.\n"
    L"\n"
    L"  encode   build a message from attributes and write its wire bytes\n"
    L"  decode   print the message that wire bytes hold\n"
    L"  reg      read and write the settings store\n"
    L"  log      print a trace file as UTF-8 text\n"
    L"  listen   print the messages that arrive on a channel\n"
    L"  send     send messages on a channel\n"
    L"  install-components    register the suite's component libraries\n"
    L"  uninstall-components  unregister them\n"
    L"\n"
    L"kwtool COMMAND --help tells more.";

using Command = int (*)(const std::vector<std::wstring>&, std::size_t, Console&);

Command find(const std::wstring& name) {
  if (name == L"encode") return &EncodeCommand::run;
  if (name == L"decode") return &DecodeCommand::run;
  if (name == L"reg") return &RegCommand::run;
  if (name == L"log") return &LogCommand::run;
  if (name == L"listen") return &ListenCommand::run;
  if (name == L"send") return &SendCommand::run;
  if (name == L"install-components") return &ComponentsCommand::install;
  if (name == L"uninstall-components") return &ComponentsCommand::uninstall;
  return nullptr;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool decodeUtf8(const std::string& bytes, std::wstring& text) {
  text.clear();
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const int extra = lead < 0x80                    ? 0
                      : lead >= 0xC2 && lead <= 0xDF ? 1
                      : lead >= 0xE0 && lead <= 0xEF ? 2
                      : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                     : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= bytes.size()) return false;
    std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
      return false;
    if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
      text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      text += static_cast<wchar_t>(c);
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

}  // namespace

int KwTool::runUtf8(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                    std::ostream& err) {
  std::vector<std::wstring> wide(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!decodeUtf8(args[i], wide[i])) {
      err << "kwtool: argument " << i + 1
          << " is not UTF-8 text (names of files and channels must be)\n"
          << kw::Tools::narrowWideString(kUsage) << '\n';
      return 2;
    }
  }
  return run(wide, in, out, err);
}

int KwTool::run(const std::vector<std::wstring>& args, std::istream& in, std::ostream& out,
                std::ostream& err) {
  Console console(in, out, err);
  try {
    if (!args.empty() && (ArgReader::isHelp(args[0]) || args[0] == L"help"))
      return console.help(kUsage, kHelp);
    if (args.empty()) throw UsageError(L"no command given", kUsage);
    Command command = find(args[0]);
    if (!command) throw UsageError(L"unknown command \"" + args[0] + L"\"", kUsage);
    // Reading a trace file would otherwise add to the file being read.
    if (args[0] == L"log") return command(args, 1, console);
    ToolTrace::info(ToolSiteId::CommandStarted, L"kwtool " + args[0] + L" started", __LINE__,
                    L"KwTool::run");
    int code = command(args, 1, console);
    ToolTrace::info(ToolSiteId::CommandEnded,
                    L"kwtool " + args[0] + L" ended with exit code " + std::to_wstring(code),
                    __LINE__, L"KwTool::run");
    return code;
  } catch (const UsageError& e) {
    console.error(e.message());
    err << kw::Tools::narrowWideString(e.usage()) << '\n';
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
