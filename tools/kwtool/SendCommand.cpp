// kwtool send: the writer end of a channel, sending messages built from
// attributes.
#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include <chrono>
#include <memory>
#include <thread>

#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/Interruption.h"
#include "kwtool/MessageDraft.h"
#include "kwtool/SendingDevice.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

namespace {

constexpr int kTimedOut = 3;
// Below the device's queue limit of 1000.
constexpr int kQueueRoom = 500;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

using Messages = std::vector<std::unique_ptr<kw::Msg>>;

// Every message is built, and checked against the block's size, before
// anything is sent; a lone "+" starts the next. False, said on the
// console, for one that is too large.
bool build(const CommandLine& line, Console& console, Messages& messages) {
  MessageDraft draft;
  for (auto argument = line.operands().begin() + 1; argument != line.operands().end(); ++argument) {
    if (*argument == L"+") {
      messages.push_back(draft.take());
      draft = MessageDraft();
      continue;
    }
    if (!draft.add(*argument, line.usage(), kw::SharedMemCommDevice::kIpcLimit)) {
      console.error(L"message " + std::to_wstring(messages.size() + 1) + L" is larger than " +
                    std::to_wstring(kw::SharedMemCommDevice::kIpcLimit) +
                    L" bytes; a channel carries at most " +
                    std::to_wstring(kw::SharedMemCommDevice::kIpcLimit));
      return false;
    }
  }
  messages.push_back(draft.take());
  return true;
}

// Sends the messages `repeat` times over, fed as the queue drains so that
// none is dropped for a full queue, and waits until the reader has taken
// them all; the exit code.
int deliver(SendingDevice& device, const std::wstring& name, const Messages& messages, int repeat,
            int seconds, Console& console) {
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
                  L"deliver");
  return 0;
}

}  // namespace

int runSend(const CommandLine& line, Console& console) {
  const int seconds = line.count(L"--seconds", 10);
  const int repeat = line.count(L"--repeat", 1);
  if (line.operands().empty()) line.fail(L"no channel name given");
  const std::wstring& name = line.operands()[0];
  if (line.operands().size() < 2) line.fail(L"no attributes given");
  Messages messages;
  if (!build(line, console, messages)) return 1;

  // Ctrl+C or SIGTERM stops the sending; the device closes the channel on the way out.
  Interruption interruption;
  SendingDevice device(name.c_str());
  if (!device.startThread(nullptr)) {
    console.error(L"cannot start the writer of " + name);
    return 1;
  }
  return deliver(device, name, messages, repeat, seconds, console);
}

}  // namespace kwtool
