// Tests of Logger's routing: log devices before trace devices, throwing devices, logging after
// shutDown and before initialise.
#include <gtest/gtest.h>
#include <kw/Event.h>
#include <kw/Logger.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

using kw::Event;
using kw::Logger;

namespace {

using Lines = std::vector<std::wstring>;
using Journal = std::shared_ptr<Lines>;

// Notes "name:id" for each event in a journal shared by every device, so
// the order across devices shows; may throw in Write or Setup.
class NotingDevice : public kw::LogDevice {
 public:
  enum Throws { Never, InWrite, InSetup };
  NotingDevice(Journal journal, std::wstring name, Throws throws = Never)
      : m_journal(std::move(journal)), m_name(std::move(name)), m_throws(throws) {}

  void Setup() override {
    if (m_throws == InSetup) throw std::runtime_error("setup");
  }
  void Write(Event& event) override {
    m_journal->push_back(m_name + L":" + std::to_wstring(event.getID()));
    if (m_throws == InWrite) throw std::runtime_error("write");
  }
  void ShutDown() override { m_journal->push_back(m_name + L":down"); }

 private:
  Journal m_journal;
  std::wstring m_name;
  Throws m_throws;
};

void log(int id) {
  Event event(id, L"logged", Event::Info, L"LoggerTest.cpp", __LINE__, L"log");
  Logger::Log(event);
}

void trace(int id) {
  Event event(id, L"traced", Event::Info, L"LoggerTest.cpp", __LINE__, L"trace");
  Logger::Trace(event);
}

class LoggerRouting : public ::testing::Test {
 protected:
  void SetUp() override { Logger::initialise(L"KwLoggerTest"); }
  void TearDown() override { Logger::shutDown(); }

  NotingDevice* device(const wchar_t* name, NotingDevice::Throws throws = NotingDevice::Never) {
    return new NotingDevice(m_journal, name, throws);
  }
  Journal m_journal = std::make_shared<Lines>();
  Lines& journal() { return *m_journal; }
};

}  // namespace

TEST_F(LoggerRouting, LogReachesLogDevicesFirstThenTraceDevices) {
  Logger::addCustomTraceDevice(device(L"t1"));
  Logger::addCustomLogDevice(device(L"log"));
  Logger::addCustomTraceDevice(device(L"t2"));

  log(1);
  trace(2);
  EXPECT_EQ(journal(), (Lines{L"log:1", L"t1:1", L"t2:1", L"t1:2", L"t2:2"}));

  journal().clear();
  Logger::shutDown();
  EXPECT_EQ(journal(), (Lines{L"log:down", L"t1:down", L"t2:down"}));
}

// A device that throws in Write ends that pass quietly; one whose Setup
// throws is not listed and stays with the caller. After shutDown the old
// devices are gone and new ones can be added.
TEST_F(LoggerRouting, AThrowingDeviceEndsThatPassQuietly) {
  Logger::addCustomTraceDevice(device(L"before"));
  Logger::addCustomTraceDevice(device(L"thrower", NotingDevice::InWrite));
  Logger::addCustomTraceDevice(device(L"after"));
  EXPECT_NO_THROW(trace(3));
  EXPECT_EQ(journal(), (Lines{L"before:3", L"thrower:3"}));

  // A log device that throws keeps the event from every trace device.
  Logger::shutDown();
  journal().clear();
  NotingDevice refused(m_journal, L"refused", NotingDevice::InSetup);
  Logger::addCustomTraceDevice(&refused);
  Logger::addCustomLogDevice(device(L"log", NotingDevice::InWrite));
  Logger::addCustomTraceDevice(device(L"trace"));
  EXPECT_NO_THROW(log(4));
  EXPECT_EQ(journal(), (Lines{L"log:4"}));
  Logger::shutDown();
  EXPECT_EQ(journal(), (Lines{L"log:4", L"log:down", L"trace:down"}));
}

// A fresh process, since nothing makes a logger uninitialised again.
KW_CHILD_MAIN(loggerBeforeInitialise) {
  Journal journal = std::make_shared<Lines>();
  NotingDevice early(journal, L"early");
  Logger::addCustomTraceDevice(&early);
  log(9);
  trace(9);
  if (!Logger::getApplicationName().empty()) return 10;

  Logger::initialise(nullptr);
  if (Logger::getApplicationName() != L"Kestrelwright") return 11;
  trace(10);
  if (!journal->empty()) return 12;
  Logger::addCustomTraceDevice(new NotingDevice(journal, L"late"));
  trace(11);
  const bool reached = *journal == Lines{L"late:11"};
  Logger::shutDown();
  return reached ? 0 : 13;
}

TEST(Logger, BeforeInitialiseNothingIsLoggedOrListed) {
  EXPECT_EQ(kwtest::ChildProcess("loggerBeforeInitialise").wait(), 0);
}
