#include "kwtool/DecodeCommand.h"

#include <kw/ByteArray.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>

#include <istream>
#include <iterator>

#include "kwtool/ArgReader.h"
#include "kwtool/BinaryFile.h"
#include "kwtool/HexText.h"
#include "kwtool/MessageText.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

const wchar_t DecodeCommand::kUsage[] = L"usage: kwtool decode [--hex|--raw] [FILE|-]";

namespace {

const wchar_t kHelp[] =
    L"Parses a message's wire bytes from FILE, or standard input when FILE is\n"
    L"\"-\" or missing, and prints its type and its attributes, one per line\n"
    L"(a byte array shows its size). Input made only of hex digits and white\n"
    L"space is read as hex, anything else as raw bytes; --hex and --raw say\n"
    L"which. A malformed message prints its error ID and description and\n"
    L"exits with 1.";

enum class Format { Guess, Hex, Raw };

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

  std::string input;
  if (path == L"-") {
    input.assign(std::istreambuf_iterator<char>(console.in()), std::istreambuf_iterator<char>());
  } else {
    std::wstring error;
    if (!BinaryFile::read(path, input, error)) {
      console.error(error);
      return 1;
    }
  }

  kw::ByteArray bytes;
  if (format == Format::Hex || (format == Format::Guess && HexText::looksLikeHex(input))) {
    if (!HexText::decode(input, bytes)) {
      console.error(L"input is not an even number of hex digits");
      return 1;
    }
  } else {
    bytes.copyData(input.data(), static_cast<int>(input.size()));
  }

  kw::Msg msg;
  try {
    msg.fromByteArray(bytes);
  } catch (const kw::CommsException& e) {
    ToolTrace::error(1070102, e, L"The input is no well-formed message", __LINE__,
                     L"DecodeCommand::run");
    console.error(L"malformed message: " + std::to_wstring(e.getExceptionID()) + L" " +
                  e.getDescription());
    return 1;
  }

  ToolTrace::info(1070101,
                  L"Decoded a message of type " +
                      std::wstring(kw::Msg::getTypeName(msg.getType())) + L", " +
                      std::to_wstring(bytes.getSize()) + L" bytes",
                  __LINE__, L"DecodeCommand::run");
  MessageText::print(msg, console);
  return 0;
}

}  // namespace kwtool
