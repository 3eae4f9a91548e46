#include "kwtool/LogCommand.h"

#include <kw/Tools.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <system_error>
#include <thread>

#include "kwtool/ArgReader.h"
#include "kwtool/TraceText.h"

namespace kwtool {

const wchar_t LogCommand::kUsage[] = L"usage: kwtool log [-f] FILE";

namespace {

const wchar_t kHelp[] =
    L"Prints a trace file, which the library writes as UTF-16 text, as UTF-8\n"
    L"with \"\\n\" line ends. With -f it goes on printing what is appended until\n"
    L"interrupted; a file that is emptied or made anew is followed from its\n"
    L"start.";

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

int LogCommand::run(const std::vector<std::wstring>& args, std::size_t first, Console& console) {
  ArgReader reader(args, first, kUsage);
  std::wstring option;
  bool follow = false;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(kUsage, kHelp);
    if (option == L"-f" || option == L"--follow") {
      follow = true;
    } else {
      reader.unknown(option);
    }
  }
  if (reader.done()) reader.fail(L"no trace file given");
  const std::wstring name = reader.take();
  if (!reader.done()) reader.fail(L"one trace file at most");
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
