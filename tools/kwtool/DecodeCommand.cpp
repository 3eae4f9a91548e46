// kwtool decode: wire bytes, raw or as hex, back to a message's text form.
#include <kw/ByteArray.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>

#include <fstream>

#include "kwtool/BinaryFile.h"
#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/MessageInput.h"
#include "kwtool/MessageText.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

namespace {

using Format = MessageInput::Format;

// False, with the reason in `error`, when the input cannot be read.
bool readInput(const std::wstring& path, Format format, Console& console, kw::ByteArray& bytes,
               std::wstring& error) {
  if (path == L"-") return MessageInput::read(console.in(), format, bytes, error);
  std::ifstream file;
  return BinaryFile::open(path, file, error) && MessageInput::read(file, format, bytes, error);
}

}  // namespace

int runDecode(const CommandLine& line, Console& console) {
  const std::wstring flag = line.text(L"format");
  const Format format = flag == L"--hex"   ? Format::Hex
                        : flag == L"--raw" ? Format::Raw
                                           : Format::Guess;
  if (line.operands().size() > 1) line.fail(L"one input at most");
  const std::wstring path = line.operands().empty() ? L"-" : line.operands()[0];

  kw::ByteArray bytes;
  std::wstring error;
  if (!readInput(path, format, console, bytes, error)) {
    console.error(error);
    return 1;
  }

  // Only what the bytes carry: a new message's own "MsgType" = 0 would
  // print as an attribute that they may not hold.
  kw::Msg msg;
  msg.removeIntAttribute(L"MsgType");
  try {
    msg.fromByteArray(bytes);
  } catch (const kw::CommsException& e) {
    ToolTrace::error(ToolSiteId::MessageMalformed, e, L"The input is no well-formed message",
                     __LINE__, L"runDecode");
    console.error(L"malformed message: " + std::to_wstring(e.getExceptionID()) + L" " +
                  e.getDescription());
    return 1;
  }

  ToolTrace::info(ToolSiteId::MessageDecoded,
                  L"Decoded a message of type " +
                      std::wstring(kw::Msg::getTypeName(msg.getType())) + L", " +
                      std::to_wstring(bytes.getSize()) + L" bytes",
                  __LINE__, L"runDecode");
  MessageText::print(msg, console);
  return 0;
}

}  // namespace kwtool
