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
#include "support/SettingsArea.h"

using kw::Event;
using kw::Logger;

namespace {

// Devices that note "name:id" for each event in one shared journal, so the
// order across devices shows.
using Journal = std::shared_ptr<std::vector<std::wstring>>;

class NotingDevice : public kw::LogDevice {
 public:
  NotingDevice(Journal journal, std::wstring name, bool throwInWrite = false,
               bool throwInSetup = false)
      : m_journal(std::move(journal)),
        m_name(std::move(name)),
        m_throwInWrite(throwInWrite),
        m_throwInSetup(throwInSetup) {}

  void Setup() override {
    if (m_throwInSetup) throw std::runtime_error("setup");
  }
  void Write(Event& event) override {
    m_journal->push_back(m_name + L":" + std::to_wstring(event.getID()));
    if (m_throwInWrite) throw std::runtime_error("write");
  }
  void ShutDown() override { m_journal->push_back(m_name + L":down"); }

 private:
  Journal m_journal;
  std::wstring m_name;
  bool m_throwInWrite;
  bool m_throwInSetup;
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

  Journal m_journal = std::make_shared<std::vector<std::wstring>>();
  std::vector<std::wstring>& journal() { return *m_journal; }
};

using Lines = std::vector<std::wstring>;

}  // namespace

TEST_F(LoggerRouting, LogReachesLogDevicesFirstThenTraceDevices) {
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"t1"));
  Logger::addCustomLogDevice(new NotingDevice(m_journal, L"log"));
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"t2"));

  log(1);
  trace(2);
  EXPECT_EQ(journal(), (Lines{L"log:1", L"t1:1", L"t2:1", L"t1:2", L"t2:2"}));

  journal().clear();
  Logger::shutDown();
  EXPECT_EQ(journal(), (Lines{L"log:down", L"t1:down", L"t2:down"}));
}

TEST_F(LoggerRouting, AThrowingDeviceEndsThatPassQuietly) {
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"before"));
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"thrower", true));
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"after"));
  EXPECT_NO_THROW(trace(3));
  EXPECT_EQ(journal(), (Lines{L"before:3", L"thrower:3"}));

  // A log device that throws keeps the event from every trace device.
  Logger::shutDown();
  journal().clear();
  Logger::addCustomLogDevice(new NotingDevice(m_journal, L"log", true));
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"trace"));
  EXPECT_NO_THROW(log(4));
  EXPECT_EQ(journal(), (Lines{L"log:4"}));
}

TEST_F(LoggerRouting, ADeviceWhoseSetupThrowsStaysWithTheCaller) {
  auto refused = std::make_unique<NotingDevice>(m_journal, L"refused", false, true);
  Logger::addCustomTraceDevice(refused.get());
  trace(5);
  Logger::shutDown();
  EXPECT_TRUE(journal().empty());
}

TEST_F(LoggerRouting, LoggingGoesOnAfterShutDown) {
  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"first"));
  Logger::shutDown();
  journal().clear();
  EXPECT_NO_THROW(log(6));
  EXPECT_NO_THROW(trace(7));
  EXPECT_TRUE(journal().empty());

  Logger::addCustomTraceDevice(new NotingDevice(m_journal, L"second"));
  trace(8);
  EXPECT_EQ(journal(), (Lines{L"second:8"}));
}

// A fresh process, since nothing makes a logger uninitialised again.
KW_CHILD_MAIN(loggerBeforeInitialise) {
  Journal journal = std::make_shared<std::vector<std::wstring>>();
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
  kwtest::ChildProcess child("loggerBeforeInitialise");
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0);
}
