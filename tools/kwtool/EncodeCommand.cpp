// kwtool encode: a message from typed attributes, as wire bytes.
#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include "kwtool/BinaryFile.h"
#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/HexText.h"
#include "kwtool/MessageDraft.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

int runEncode(const CommandLine& line, Console& console) {
  if (line.operands().empty()) line.fail(L"no attributes given");
  MessageDraft draft;
  for (const std::wstring& argument : line.operands()) {
    if (!draft.add(argument, line.usage(), MessageDraft::kWireLimit)) {
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
                  __LINE__, L"runEncode");

  const std::wstring outPath = line.text(L"--out");
  if (outPath.empty()) {
    const std::string hex = HexText::encode(bytes);
    console.print(std::wstring(hex.begin(), hex.end()));
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
