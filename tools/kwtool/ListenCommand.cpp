#include "kwtool/ListenCommand.h"

#include <kw/Msg.h>
#include <kw/SharedMemCommDevice.h>

#include <chrono>
#include <memory>
#include <ostream>

#include "kwtool/ArgReader.h"
#include "kwtool/Interruption.h"
#include "kwtool/MessageText.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

const wchar_t ListenCommand::kUsage[] = L"usage: kwtool listen [--count N] [--seconds S] NAME";

namespace {

const wchar_t kHelp[] =
    L"Opens the reader end of the channel NAME and prints each message that\n"
    L"arrives, a blank line after each, until interrupted (Ctrl+C, SIGTERM), until N\n"
    L"messages have arrived (--count) or S seconds have passed (--seconds).\n"
    L"Start `kwtool send NAME ...` in another terminal, before or after.";

// How often a wait for the next message stops to look at Ctrl+C, the
// worker and the time limit; a message ends the wait at once.
constexpr unsigned int kCheckIntervalMs = 100;

}  // namespace

int ListenCommand::run(const std::vector<std::wstring>& args, std::size_t first, Console& console) {
  ArgReader reader(args, first, kUsage);
  std::wstring option;
  int count = 0;
  int seconds = 0;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(kUsage, kHelp);
    if (option == L"--count") {
      count = reader.count(option);
    } else if (option == L"--seconds") {
      seconds = reader.count(option);
    } else {
      reader.unknown(option);
    }
  }
  if (reader.done()) reader.fail(L"no channel name given");
  const std::wstring name = reader.take();
  if (!reader.done()) reader.fail(L"one channel name at most");

  // Ctrl+C or SIGTERM ends the loop, so the device closes the channel on the way out.
  Interruption interruption;
  kw::SharedMemCommDevice device(name.c_str(), kw::SharedMemCommDevice::Reader);
  if (!device.startThread(nullptr)) {
    console.error(L"cannot start the reader of " + name);
    return 1;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int received = 0;
  int status = 0;
  while (!Interruption::requested() && (count == 0 || received < count) &&
         (seconds == 0 || std::chrono::steady_clock::now() < end)) {
    if (device.getThreadState() == kw::Thread::Stopped) {
      console.error(L"cannot open the channel " + name);
      status = 1;
      break;
    }
    std::unique_ptr<kw::Msg> msg(device.waitForMessage(kCheckIntervalMs));
    if (!msg) continue;
    ToolTrace::info(ToolSiteId::MessageReceived,
                    L"Received a message of type " +
                        std::wstring(kw::Msg::getTypeName(msg->getType())) + L" on " + name,
                    __LINE__, L"ListenCommand::run");
    MessageText::print(*msg, console);
    console.print(L"");
    console.out().flush();
    ++received;
  }
  return status;
}

}  // namespace kwtool
