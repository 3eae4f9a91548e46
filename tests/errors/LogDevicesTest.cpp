// Tests of the standard devices: the console and debugger stream following their switches, and the
// event log device as syslog sees it.
#include <gtest/gtest.h>
#include <kw/DebugLogDevice.h>
#include <kw/Event.h>
#include <kw/EventLogDevice.h>
#include <kw/Logger.h>
#include <kw/SiteId.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"
#include "support/Text.h"
#include "support/TraceCapture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using kw::Event;
using kw::Logger;
using kw::SiteId;

namespace {

void traceAndLog() {
  Event traced(4711, L"traced here", Event::Info, L"LogDevicesTest.cpp", __LINE__, L"traceAndLog");
  Logger::Trace(traced);
  Event logged(4712, L"logged here", Event::Warning, L"LogDevicesTest.cpp", __LINE__,
               L"traceAndLog");
  Logger::Log(logged);
}

}  // namespace

// Standard output and error go to the two files named, then the devices
// are added as their switches say and two events pass.
KW_CHILD_MAIN(standardDevices) {
  if (!std::freopen(args.at(1).c_str(), "w", stdout) ||
      !std::freopen(args.at(2).c_str(), "w", stderr))
    return 21;
  Logger::initialise(kwtest::wide(args[0]).c_str());
  Logger::addConsoleLogDevice();
  Logger::addDebugStreamLogDevice();
  traceAndLog();
  std::fflush(stdout);
  std::fflush(stderr);
  Logger::shutDown();
  return 0;
}

class StandardDevices : public ::testing::Test {
 protected:
  // What the child with that application name wrote to standard output and error.
  std::pair<std::string, std::string> run(const std::wstring& app) {
    auto out = m_scratch.path() / "out.txt";
    auto err = m_scratch.path() / "err.txt";
    EXPECT_EQ(
        kwtest::ChildProcess("standardDevices", {kwtest::narrow(app), out.string(), err.string()})
            .wait(),
        0);
    return {kwtest::readFile(out), kwtest::readFile(err)};
  }

  kwtest::SettingsArea m_settings;
  kwtest::ScratchDir m_scratch;
  std::wstring m_app = L"KwDevices" + kwtest::uniqueName().substr(0, 8);
};

// Each stream follows its own switch, which belongs to the application name.
TEST_F(StandardDevices, EachStreamFollowsItsSwitch) {
  EXPECT_EQ(run(m_app), std::make_pair(std::string(), std::string()));
  {
    kwtest::SwitchSetting on(m_app + L"ConsoleTrace", 1);
    auto [out, err] = run(m_app);
    EXPECT_EQ(err, "");
    std::size_t traced = out.find("4711 traced here"), logged = out.find("4712 logged here");
    ASSERT_NE(traced, std::string::npos) << out;
    EXPECT_LT(traced, logged) << out;
    // The header's time comes first, and each event is a line of its own.
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(out[0]))) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_EQ(run(m_app + L"Other").first, "");
  }
#ifndef _WIN32
  // Standard error stands in for the debugger stream on Linux.
  kwtest::SwitchSetting on(m_app + L"DebugStream", 1);
  auto [out, err] = run(m_app);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("4711 traced here"), std::string::npos) << err;
  EXPECT_NE(err.find("4712 logged here"), std::string::npos) << err;
#endif
}

#ifdef _WIN32
namespace {

std::string g_debugText;

// OutputDebugString raises this exception with the ANSI text, then
// handles it itself when no debugger takes it.
LONG CALLBACK noteDebugText(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode == 0x40010006 && record->NumberParameters >= 2) {
    g_debugText.append(reinterpret_cast<const char*>(record->ExceptionInformation[1]),
                       static_cast<std::size_t>(record->ExceptionInformation[0]));
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

TEST(DebugLogDevice, DebugStreamReachesTheDebugger) {
  kwtest::TraceCapture capture;
  Logger::addCustomTraceDevice(new kw::DebugLogDevice);
  PVOID handler = AddVectoredExceptionHandler(1, noteDebugText);
  traceAndLog();
  RemoveVectoredExceptionHandler(handler);
  EXPECT_NE(g_debugText.find("4711"), std::string::npos) << g_debugText;
  EXPECT_NE(g_debugText.find("traced here"), std::string::npos) << g_debugText;
}
#endif

#ifndef _WIN32
namespace {

// A receiver on the socket glibc's syslog writes to, for a machine that
// runs no system logger of its own.
class SyslogReceiver {
 public:
  // Empty when the receiver is in place, else why it cannot be.
  std::string open() {
    sockaddr_un address{AF_UNIX, "/dev/log"};
    if (::access(address.sun_path, F_OK) == 0)
      return "a system logger owns /dev/log; what it receives cannot be read back here";
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return "cannot bind /dev/log (not root?)";
    m_bound = true;
    timeval wait{5, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return "";
  }

  ~SyslogReceiver() {
    if (m_fd >= 0) ::close(m_fd);
    if (m_bound) ::unlink("/dev/log");
  }

  // The next message that carries the marker, passing over what other tests log.
  std::string receive(const std::string& marker) {
    char buffer[2048];
    for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;) {
      std::string message(buffer, static_cast<std::size_t>(n));
      if (message.find(marker) != std::string::npos) return message;
    }
    return std::string();
  }

 private:
  int m_fd = -1;
  bool m_bound = false;
};

}  // namespace
#endif

// Logged events reach the event log (syslog on Linux) under the application's
// name; traced ones do not.
TEST(EventLogDevice, SyslogGetsIdentPriorityAndId) {
#ifndef _WIN32
  SyslogReceiver receiver;
  const std::string why = receiver.open();
#endif
  Logger::initialise(L"KwSyslogTest");
  kwtest::TraceCapture capture;
  Logger::addEventLogDevice();
  traceAndLog();
  // The source opened and the report went through: no failure was traced.
  EXPECT_EQ(capture.count(SiteId::EventLogOpenFailed), 0);
  EXPECT_EQ(capture.count(SiteId::EventLogWriteFailed), 0);
  EXPECT_EQ(capture.count(4712), 1);
#ifdef _WIN32
  GTEST_SKIP() << "Wine's RegisterEventSourceW and ReportEventW are stubs that report success "
                  "and store nothing, so there is no event log to read back";
#else
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string ident = "KwSyslogTest[" + std::to_string(::getpid()) + "]: ";
  std::string message = receiver.receive(ident);
  // <12> is the user facility (8) with the warning priority (4).
  EXPECT_EQ(message.rfind("<12>", 0), 0u) << message;
  EXPECT_NE(message.find(ident + "4712 logged here"), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  // The traced event never went there.
  Event info(4713, L"information", Event::Info, L"LogDevicesTest.cpp", __LINE__, L"test");
  Logger::Log(info);
  message = receiver.receive(ident);
  EXPECT_EQ(message.rfind("<14>", 0), 0u) << message;
  EXPECT_NE(message.find("4713 information"), std::string::npos) << message;
#endif
}
