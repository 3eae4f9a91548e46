#include "kwtool/EncodeCommand.h"

#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include "kwtool/ArgReader.h"
#include "kwtool/BinaryFile.h"
#include "kwtool/HexText.h"
#include "kwtool/MessageDraft.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

const wchar_t EncodeCommand::kUsage[] = L"usage: kwtool encode [--out FILE] NAME[:TYPE]=VALUE...";

namespace {

const wchar_t kHelp[] =
    L"Builds a message from its attributes and writes its wire bytes: as hex on\n"
    L"standard output, or raw to FILE with --out.\n"
    L"\n"
    L"  NAME=VALUE        an int when VALUE is a decimal 32-bit integer, else a string\n"
    L"  NAME:int=VALUE    an int, decimal or 0x followed by up to 8 hex digits\n"
    L"  NAME:str=VALUE    a string\n"
    L"  NAME:hex=DIGITS   a byte array given as hex digits\n"
    L"  NAME:file=PATH    a byte array read from a file\n"
    L"\n"
    L"MsgType also takes a type name: MsgType=SYSTEM_STATE_CHANGE is MsgType=2.\n"
    L"Example: kwtool encode MsgType=2 SystemState=Busy";

}  // namespace

int EncodeCommand::run(const std::vector<std::wstring>& args, std::size_t first, Console& console) {
  ArgReader reader(args, first, kUsage);
  std::wstring option;
  std::wstring outPath;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(kUsage, kHelp);
    if (option != L"--out") reader.unknown(option);
    outPath = reader.value(option);
  }
  if (reader.done()) reader.fail(L"no attributes given");

  MessageDraft draft;
  for (const std::wstring& argument : reader.rest()) {
    if (!draft.add(argument, kUsage, MessageDraft::kWireLimit)) {
      console.error(L"the message would be larger than " +
                    std::to_wstring(MessageDraft::kWireLimit) +
                    L" bytes, the most that the wire format carries");
      return 1;
    }
  }
  const kw::Msg& msg = draft.msg();
  kw::ByteArray bytes;
  msg.toByteArray(bytes);
  ToolTrace::info(ToolSiteId::MessageEncoded,
                  L"Encoded a message of type " +
                      std::wstring(kw::Msg::getTypeName(msg.getType())) + L", " +
                      std::to_wstring(bytes.getSize()) + L" bytes",
                  __LINE__, L"EncodeCommand::run");

  if (outPath.empty()) {
    console.printBytes(HexText::encode(bytes) + "\n");
    return 0;
  }
  std::wstring error;
  if (!BinaryFile::write(outPath, std::string(bytes.getData(), bytes.getSize()), error)) {
    console.error(error);
    return 1;
  }
  return 0;
}

}  // namespace kwtool
