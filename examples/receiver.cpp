// Receives the sender example's messages and logs each one; with the trace
// file switched on (`kwtool reg set kwreceiverFileLogging=1`) they land in
// KWkwreceiver.log in the per-user data folder. A message it cannot accept
// becomes an exception, which is caught and logged with its call stack.
// Ends after the sender's last message, or after 90 seconds.
//
//   receiver [CHANNEL]
#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/Logger.h>
#include <kw/Msg.h>
#include <kw/SharedMemCommDevice.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

// The example's own site IDs, apart from the library's (kw::SiteId): once in
// users' logs a number keeps its meaning.
enum ReceiverSiteId : int {
  UnknownState = 9000001,
  MessageReceived = 9000002,
  MessageRejected = 9000003,
};

// Accepts the states the example knows; anything else is an error.
void checkState(const kw::Msg& msg) {
  std::wstring state;
  msg.getAttributeValue(L"SystemState", state);
  if (state != L"Idle" && state != L"Busy") {
    kw::Exception e(ReceiverSiteId::UnknownState, L"Unknown system state", L"receiver.cpp",
                    __LINE__, L"checkState");
    e.addParameter(state.c_str());
    throw e;
  }
}

void logMessage(const kw::Msg& msg) {
  std::wstring text;
  msg.toString(text);  // "name=value\r\n" per attribute
  for (auto& c : text) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  kw::Event event(ReceiverSiteId::MessageReceived, L"Received", kw::Event::Info, L"receiver.cpp",
                  __LINE__, L"logMessage");
  event.addDetails(L"Type", kw::Msg::getTypeName(msg.getType()));
  event.addDetails(L"Attributes", text.c_str());
  kw::Logger::Trace(event);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string narrowName = argc > 1 ? argv[1] : "kwexample";
  const std::wstring name(narrowName.begin(), narrowName.end());
  const std::wstring ackName = name + L".ack";

  kw::Logger::initialise(L"kwreceiver");
  // Each device only when its switch under Software\Kestrelwright is on.
  kw::Logger::addFileLogDevice(false);
  kw::Logger::addConsoleLogDevice();

  int status = 1;
  try {
    kw::SharedMemCommDevice in(name.c_str(), kw::SharedMemCommDevice::Reader);
    kw::SharedMemCommDevice acks(ackName.c_str(), kw::SharedMemCommDevice::Writer);
    if (!in.startThread(nullptr) || !acks.startThread(nullptr)) {
      std::wcerr << L"cannot start the transport\n";
      return 1;
    }

    int received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (status != 0 && std::chrono::steady_clock::now() < deadline) {
      std::unique_ptr<kw::Msg> msg(in.popMessage());  // popped: ours to delete
      if (!msg) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      ++received;
      logMessage(*msg);
      if (msg->getType() == kw::Msg::UPDATE) {
        auto* ack = new kw::Msg;
        ack->setType(kw::Msg::ACKNOWLEDGEMENT);
        acks.pushMessage(ack);
        status = 0;
        continue;
      }
      try {
        checkState(*msg);
      } catch (const kw::Exception& e) {
        // The event carries the exception: its text and call stack are logged too.
        kw::Event event(ReceiverSiteId::MessageRejected, &e, L"Rejected a message", L"receiver.cpp",
                        __LINE__, L"main");
        kw::Logger::Trace(event);
      }
    }
    // Let the worker hand the acknowledgement over before the device closes.
    while (acks.getOutQSize() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::wcout << L"received " << received << L" messages\n";
  } catch (const kw::Exception& e) {
    std::wcerr << e << L"\n";
    status = 1;
  }
  kw::Logger::shutDown();
  return status;
}
