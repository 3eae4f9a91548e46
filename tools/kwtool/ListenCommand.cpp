// kwtool listen: the reader end of a channel, printing what arrives.
#include <kw/Msg.h>
#include <kw/SharedMemCommDevice.h>

#include <chrono>
#include <memory>
#include <ostream>

#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"
#include "kwtool/Interruption.h"
#include "kwtool/MessageText.h"
#include "kwtool/ToolSiteId.h"
#include "kwtool/ToolTrace.h"

namespace kwtool {

namespace {

// How often a wait for the next message stops to look at Ctrl+C, the
// worker and the time limit; a message ends the wait at once.
constexpr unsigned int kCheckIntervalMs = 100;

}  // namespace

int runListen(const CommandLine& line, Console& console) {
  const int count = line.count(L"--count", 0);
  const int seconds = line.count(L"--seconds", 0);
  if (line.operands().empty()) line.fail(L"no channel name given");
  if (line.operands().size() > 1) line.fail(L"one channel name at most");
  const std::wstring& name = line.operands()[0];

  // Ctrl+C or SIGTERM ends the loop, so the device closes the channel on the way out.
  Interruption interruption;
  kw::SharedMemCommDevice device(name.c_str(), kw::SharedMemCommDevice::Reader);
  if (!device.startThread(nullptr)) {
    console.error(L"cannot start the reader of " + name);
    return 1;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int received = 0;
  while (!Interruption::requested() && (count == 0 || received < count) &&
         (seconds == 0 || std::chrono::steady_clock::now() < end)) {
    if (device.getThreadState() == kw::Thread::Stopped) {
      console.error(L"cannot open the channel " + name);
      return 1;
    }
    std::unique_ptr<kw::Msg> msg(device.waitForMessage(kCheckIntervalMs));
    if (!msg) continue;
    ToolTrace::info(ToolSiteId::MessageReceived,
                    L"Received a message of type " +
                        std::wstring(kw::Msg::getTypeName(msg->getType())) + L" on " + name,
                    __LINE__, L"runListen");
    MessageText::print(*msg, console);
    console.print(L"");
    console.out().flush();
    ++received;
  }
  return 0;
}

}  // namespace kwtool
