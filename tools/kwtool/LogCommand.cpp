// kwtool log: a UTF-16 trace file as text, and followed as it grows.
#include <kw/Tools.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
// What is read and printed at a time: memory does not follow the file's size.
constexpr std::size_t kPiece = 64 * 1024;

// Prints what the file holds from `offset` on, a piece at a time, and moves
// `offset` past it; false when the file cannot be opened.
bool printFrom(const std::filesystem::path& path, std::uintmax_t& offset, TraceText& text,
               Console& console) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  file.seekg(static_cast<std::streamoff>(offset));
  std::string piece(kPiece, '\0');
  while (file) {
    file.read(&piece[0], static_cast<std::streamsize>(piece.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0) break;
    offset += got;
    console.write(text.feed(piece.data(), got));
  }
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
  std::uintmax_t offset = 0;
  if (!printFrom(path, offset, text, console)) {
    console.error(L"cannot open " + name);
    return 1;
  }
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
    printFrom(path, offset, text, console);
  }
}

}  // namespace kwtool
