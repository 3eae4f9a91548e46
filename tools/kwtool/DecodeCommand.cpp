#include "kwtool/DecodeCommand.h"

#include <kw/ByteArray.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>

#include <fstream>

#include "kwtool/ArgReader.h"
#include "kwtool/BinaryFile.h"
#include "kwtool/MessageInput.h"
#include "kwtool/MessageText.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

const wchar_t DecodeCommand::kUsage[] = L"usage: kwtool decode [--hex|--raw] [FILE|-]";

namespace {

const wchar_t kHelp[] =
    L"Parses a message's wire bytes from FILE, or standard input when FILE is\n"
    L"\"-\" or missing, and prints its type and its attributes, one per line\n"
    L"(a byte array shows its size). Input that starts with a hex digit or\n"
    L"white space is read as hex, anything else as raw bytes; --hex and --raw\n"
    L"say which. Only as many bytes as the message's header claims are read.\n"
    L"A malformed message prints its error ID and description and exits\n"
    L"with 1.";

using Format = MessageInput::Format;

}  // namespace

int DecodeCommand::run(const std::vector<std::wstring>& args, std::size_t first, Console& console) {
  ArgReader reader(args, first, kUsage);
  std::wstring option;
  Format format = Format::Guess;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(kUsage, kHelp);
    if (option == L"--hex") {
      format = Format::Hex;
    } else if (option == L"--raw") {
      format = Format::Raw;
    } else {
      reader.unknown(option);
    }
  }
  std::wstring path = reader.done() ? L"-" : reader.take();
  if (!reader.done()) reader.fail(L"one input at most");

  kw::ByteArray bytes;
  std::wstring error;
  bool read = false;
  if (path == L"-") {
    read = MessageInput::read(console.in(), format, bytes, error);
  } else {
    std::ifstream file;
    read = BinaryFile::open(path, file, error) && MessageInput::read(file, format, bytes, error);
  }
  if (!read) {
    console.error(error);
    return 1;
  }

  kw::Msg msg;
  try {
    msg.fromByteArray(bytes);
  } catch (const kw::CommsException& e) {
    ToolTrace::error(ToolSiteId::MessageMalformed, e, L"The input is no well-formed message",
                     __LINE__, L"DecodeCommand::run");
    console.error(L"malformed message: " + std::to_wstring(e.getExceptionID()) + L" " +
                  e.getDescription());
    return 1;
  }

  ToolTrace::info(ToolSiteId::MessageDecoded,
                  L"Decoded a message of type " +
                      std::wstring(kw::Msg::getTypeName(msg.getType())) + L", " +
                      std::to_wstring(bytes.getSize()) + L" bytes",
                  __LINE__, L"DecodeCommand::run");
  MessageText::print(msg, console);
  return 0;
}

}  // namespace kwtool
