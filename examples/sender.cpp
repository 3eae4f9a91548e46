// Sends a few typed messages to the receiver example and waits for its
// acknowledgement. Start `receiver` first or afterwards: either order works.
//
//   sender [CHANNEL]
#include <kw/Exception.h>
#include <kw/Logger.h>
#include <kw/Msg.h>
#include <kw/SharedMemCommDevice.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  const std::string narrowName = argc > 1 ? argv[1] : "kwexample";
  const std::wstring name(narrowName.begin(), narrowName.end());
  const std::wstring ackName = name + L".ack";

  kw::Logger::initialise(L"kwsender");
  int status = 1;
  try {
    // One device per direction: messages out, the acknowledgement back.
    kw::SharedMemCommDevice out(name.c_str(), kw::SharedMemCommDevice::Writer);
    kw::SharedMemCommDevice acks(ackName.c_str(), kw::SharedMemCommDevice::Reader);
    if (!out.startThread(nullptr) || !acks.startThread(nullptr)) {
      std::wcerr << L"cannot start the transport\n";
      return 1;
    }

    // "Sleeping" is a state the receiver does not know: it reports an error.
    const wchar_t* states[] = {L"Idle", L"Busy", L"Sleeping", L"Idle"};
    int sequence = 0;
    for (const wchar_t* state : states) {
      auto* msg = new kw::Msg;
      msg->setType(kw::Msg::SYSTEM_STATE_CHANGE);
      msg->setAttributeValue(L"SystemState", std::wstring(state));
      msg->setAttributeValue(L"Sequence", ++sequence);
      out.pushMessage(msg);  // the device owns the message from here on
    }
    auto* last = new kw::Msg;
    last->setType(kw::Msg::UPDATE);
    last->setAttributeValue(L"Item", std::wstring(L"done"));
    out.pushMessage(last);

    // Bounded wait: a receiver that never comes makes this fail, not hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (status != 0 && std::chrono::steady_clock::now() < deadline) {
      std::unique_ptr<kw::Msg> ack(acks.popMessage());
      if (ack && ack->getType() == kw::Msg::ACKNOWLEDGEMENT) {
        status = 0;
      } else if (!ack) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    std::wcout << (status == 0 ? L"sent 5 messages, acknowledged\n"
                               : L"no acknowledgement within 90 seconds\n");
  } catch (const kw::Exception& e) {
    std::wcerr << e << L"\n";
  }
  kw::Logger::shutDown();
  return status;
}
