// kwtool encode: a message from typed attributes, as wire bytes.
#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include <algorithm>
#include <fstream>
#include <istream>
#include <string>
#include <vector>

#include "kwtool/BinaryFile.h"
#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/HexText.h"
#include "kwtool/MessageDraft.h"
#include "kwtool/Refusal.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"
#include "kwtool/UsageError.h"

namespace kwtool {

namespace {

// "-" is standard input, and an operand without "=" a file: both hold
// attribute lines.
bool isLineSource(const std::wstring& operand) {
  return operand == L"-" || operand.find(L'=') == std::wstring::npos;
}

// Whether a line is the type line that decode prints before the attributes.
bool isTypeLine(const std::wstring& line) {
  return line.rfind(L"Type: ", 0) == 0 && line.find(L'=') == std::wstring::npos;
}

// Adds the attribute of each line of `in`, skipping blank lines and the type
// line; false when the message would grow too large. Throws Refusal for a
// malformed line, naming it.
bool addLines(std::istream& in, const std::wstring& source, Console& console, MessageDraft& draft) {
  std::string bytes;
  for (long long number = 1; std::getline(in, bytes); ++number) {
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    const std::wstring line = console.decode(bytes);
    if (line.empty() || isTypeLine(line)) continue;
    try {
      if (!draft.add(line, std::wstring(), MessageDraft::kWireLimit, Attribute::Form::Line))
        return false;
    } catch (const UsageError& e) {
      throw Refusal(source + L", line " + std::to_wstring(number) + L": " + e.message());
    }
  }
  if (in.bad()) throw Refusal(L"cannot read " + source);
  return true;
}

bool addOperand(const std::wstring& operand, const CommandLine& line, Console& console,
                MessageDraft& draft) {
  if (!isLineSource(operand)) return draft.add(operand, line.usage(), MessageDraft::kWireLimit);
  if (operand == L"-") return addLines(console.in(), L"standard input", console, draft);
  std::ifstream file;
  std::wstring error;
  if (!BinaryFile::open(operand, file, error)) throw Refusal(error);
  return addLines(file, operand, console, draft);
}

}  // namespace

int runEncode(const CommandLine& line, Console& console) {
  const std::vector<std::wstring>& operands = line.operands();
  if (operands.empty()) line.fail(L"no attributes given");
  // Lines describe a whole message, as decode prints it: with them the
  // message holds only what it is given, and no MsgType of its own.
  MessageDraft draft(std::none_of(operands.begin(), operands.end(), &isLineSource));
  for (const std::wstring& operand : operands) {
    if (!addOperand(operand, line, console, draft)) {
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
