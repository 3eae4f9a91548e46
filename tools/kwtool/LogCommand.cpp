// kwtool log: a UTF-16 trace file as text, and followed as it grows.
#include <kw/Tools.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <system_error>
#include <thread>

#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/TraceText.h"

namespace kwtool {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

// Reads what the file holds from `offset` on; false when it cannot be opened.
bool readFrom(const std::filesystem::path& path, std::uintmax_t offset, std::string& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  file.seekg(static_cast<std::streamoff>(offset));
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int runLog(const CommandLine& line, Console& console) {
  if (line.operands().empty()) line.fail(L"no trace file given");
  if (line.operands().size() > 1) line.fail(L"one trace file at most");
  const std::wstring& name = line.operands()[0];
  const bool follow = line.has(L"follow");
  const auto path = std::filesystem::u8path(kw::Tools::narrowWideString(name));

  TraceText text;
  std::string bytes;
  if (!readFrom(path, 0, bytes)) {
    console.error(L"cannot open " + name);
    return 1;
  }
  std::uintmax_t offset = bytes.size();
  console.write(text.feed(bytes));
  if (!follow) {
    console.write(text.flush());
    return 0;
  }
  for (;;) {
    console.out().flush();
    std::this_thread::sleep_for(kPollInterval);
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size == offset) continue;  // gone for now, or unchanged
    if (size < offset) {
      offset = 0;
      text = TraceText();
    }
    if (!readFrom(path, offset, bytes)) continue;
    offset += bytes.size();
    console.write(text.feed(bytes));
  }
}

}  // namespace kwtool
