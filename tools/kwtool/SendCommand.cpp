#include "kwtool/SendCommand.h"

#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include <chrono>
#include <memory>
#include <thread>

#include "kwtool/ArgReader.h"
#include "kwtool/Interruption.h"
#include "kwtool/MessageDraft.h"
#include "kwtool/SendingDevice.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

const wchar_t SendCommand::kUsage[] =
    L"usage: kwtool send [--seconds S] [--repeat N] NAME ATTR... [+ ATTR...]...";

namespace {

const wchar_t kHelp[] =
    L"Opens the writer end of the channel NAME and sends messages built from\n"
    L"attributes as `kwtool encode` takes them; a lone \"+\" starts the next\n"
    L"message, and --repeat sends the whole list N times. It then waits until\n"
    L"the reader has taken every message, or S seconds (default 10) have\n"
    L"passed: exit code 0 when all were taken, 3 after the time-out, 130 or\n"
    L"143 when Ctrl+C or SIGTERM stopped it.\n"
    L"Example: kwtool send Demo MsgType=UPDATE Item=report + MsgType=2 State=Busy";

constexpr int kTimedOut = 3;
// Below the device's queue limit of 1000.
constexpr int kQueueRoom = 500;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

}  // namespace

int SendCommand::run(const std::vector<std::wstring>& args, std::size_t first, Console& console) {
  ArgReader reader(args, first, kUsage);
  std::wstring option;
  int seconds = 10;
  int repeat = 1;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(kUsage, kHelp);
    if (option == L"--seconds") {
      seconds = reader.count(option);
    } else if (option == L"--repeat") {
      repeat = reader.count(option);
    } else {
      reader.unknown(option);
    }
  }
  if (reader.done()) reader.fail(L"no channel name given");
  const std::wstring name = reader.take();
  if (reader.done()) reader.fail(L"no attributes given");

  // Every message is built, and checked against the block's size, before
  // anything is sent.
  std::vector<std::unique_ptr<kw::Msg>> messages;
  MessageDraft draft;
  for (const std::wstring& argument : reader.rest()) {
    if (argument == L"+") {
      messages.push_back(draft.take());
      draft = MessageDraft();
      continue;
    }
    if (!draft.add(argument, kUsage, kw::SharedMemCommDevice::kIpcLimit)) {
      console.error(L"message " + std::to_wstring(messages.size() + 1) + L" is larger than " +
                    std::to_wstring(kw::SharedMemCommDevice::kIpcLimit) +
                    L" bytes; a channel carries at most " +
                    std::to_wstring(kw::SharedMemCommDevice::kIpcLimit));
      return 1;
    }
  }
  messages.push_back(draft.take());

  // Ctrl+C or SIGTERM stops the sending; the device closes the channel on the way out.
  Interruption interruption;
  SendingDevice device(name.c_str());
  if (!device.startThread(nullptr)) {
    console.error(L"cannot start the writer of " + name);
    return 1;
  }
  // Fed as the queue drains, so that no message is dropped for a full queue.
  const long total = static_cast<long>(messages.size()) * repeat;
  long pushed = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (pushed < total || !device.allTaken()) {
    while (pushed < total && device.getOutQSize() < kQueueRoom) {
      device.pushMessage(
          new kw::Msg(*messages[static_cast<std::size_t>(pushed) % messages.size()]));
      ++pushed;
    }
    if (device.getThreadState() == kw::Thread::Stopped) {
      console.error(L"cannot open the channel " + name);
      return 1;
    }
    if (Interruption::requested()) {
      console.error(L"interrupted before the reader of " + name + L" took every message");
      return Interruption::exitCode();
    }
    if (std::chrono::steady_clock::now() >= end) {
      console.error(L"the reader of " + name + L" did not take every message within " +
                    std::to_wstring(seconds) + L" s");
      return kTimedOut;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  ToolTrace::info(ToolSiteId::MessagesSent,
                  std::to_wstring(total) + L" messages sent on " + name + L" and taken", __LINE__,
                  L"SendCommand::run");
  return 0;
}

}  // namespace kwtool
