// What differs on 32-bit Windows, in as few processes as possible: every
// process start costs about a minute where i386 code runs under emulation.
// The wire vectors and the in-process translator cases come from the full
// suites' own sources; these cases add what those cover only with many
// processes.
#include <gtest/gtest.h>
#include <kw/ByteArray.h>
#include <kw/Exception.h>
#include <kw/File.h>
#include <kw/Logger.h>
#include <kw/Msg.h>
#include <kw/Mutex.h>
#include <kw/Registry.h>
#include <kw/SharedMemCommDevice.h>
#include <kw/SiteId.h>
#include <kw/Tools.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Hex.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"
#include "support/Text.h"

using kw::Msg;
using kw::SiteId;
using Device = kw::SharedMemCommDevice;
namespace fs = std::filesystem;

namespace {

// A process start under emulation takes minutes on a loaded machine; a
// wait that long is still bounded.
constexpr int kStartMs = 15 * 60 * 1000;
constexpr int kReplyMs = 120 * 1000;

// Under emulation a worker can need more than the destructor's grace time to
// end, and one stopped by force may still hold a lock that the process's
// exit needs: both ends stop their workers with time to spare.
void stopAll(Device& first, Device& second) {
  first.terminate(kReplyMs);
  second.terminate(kReplyMs);
}

bool startAndWait(Device& device) {
  return device.startThread(nullptr) &&
         kwtest::eventually([&] { return device.getThreadState() == kw::Thread::Running; },
                            kReplyMs);
}

std::string wireHex(const Msg& msg) {
  kw::ByteArray bytes;
  msg.toByteArray(bytes);
  return kwtest::toHex(bytes);
}

int g_faultLine = 0;

__attribute__((noinline)) void writeAtKnownLine() {
  volatile int* volatile target = nullptr;
  // clang-format off
  g_faultLine = __LINE__; *target = 7;
  // clang-format on
}

void (*volatile g_writeAtKnownLine)() = writeAtKnownLine;

}  // namespace

TEST(Smoke, RegistryValuesRoundTrip) {
  kwtest::SettingsArea area;
  const kw::Registry registry(HKEY_CURRENT_USER, area.keyPath().c_str());
  ASSERT_TRUE(registry.write(L"Count", -5));
  ASSERT_TRUE(registry.write(L"Sub\\Name", std::wstring(L"n\u00e4me")));
  ASSERT_TRUE(registry.write(L"Blob", kw::ByteArray("\x00\xff\x10", 3)));
  EXPECT_EQ(registry.read(L"Count", 0), -5);
  EXPECT_EQ(registry.read(L"Sub\\Name", L""), L"n\u00e4me");
  EXPECT_EQ(kwtest::toHex(registry.read(L"Blob", static_cast<const kw::ByteArray*>(nullptr))),
            "00ff10");
  ASSERT_TRUE(registry.deleteValue(L"Count"));
  EXPECT_EQ(registry.read(L"Count", 42), 42);
}

// A fault on a registered thread arrives as the translated exception, whose
// stack starts at the faulting line, after its event reached the trace file.
TEST(Smoke, AFaultArrivesWithItsStackAndItsTraceLine) {
  kwtest::SettingsArea area;
  const std::wstring app = L"KwSmoke" + kwtest::uniqueName().substr(0, 8);
  kwtest::SwitchSetting fileLogging(app + L"FileLogging", 1);
  kw::Logger::initialise(app.c_str());
  kw::Logger::addFileLogDevice(false);
  const fs::path traceFile =
      fs::path(kw::File::getUsersLocalDataPath()) / ("KW" + kwtest::narrow(app) + ".log");

  kw::Exception::registerWin32ExceptionHandler();
  kw::Exception caught;
  try {
    g_writeAtKnownLine();
  } catch (kw::Exception& exception) {
    caught = exception;
  }
  kw::Logger::shutDown();

  EXPECT_EQ(caught.getExceptionID(), SiteId::HardwareFault);
  const std::wstring description = caught.getDescription();
  // Under qemu user emulation Wine cannot tell the kind of a fault (the
  // signal context carries no trap number) and reports an illegal
  // instruction without the data address.
  const bool emulatorFault = description.rfind(L"Win32 exception (Param 1: -1073741795)", 0) == 0;
  if (!emulatorFault) {
    EXPECT_EQ(
        description.rfind(L"Win32 exception (Param 1: -1073741819)  (Param 2: 0)  (Param 3: ", 0),
        0u)
        << description;
    EXPECT_NE(description.find(L"(Param 4: 1)  (Param 5: 0)"), std::wstring::npos) << description;
    EXPECT_EQ(description.find(L"(Param 6:"), std::wstring::npos) << description;
  }

  // The first frame line: "<source file> (<line>): <function>".
  const std::wstring stack = caught.getStackTrace();
  const std::wstring site = L"SmokeTest.cpp (" + std::to_wstring(g_faultLine) + L"): ";
  const std::size_t at = stack.find(site);
  ASSERT_NE(at, std::wstring::npos) << stack;
  EXPECT_NE(stack.substr(at, stack.find(L"\r\r\n", at) - at).find(L"writeAtKnownLine"),
            std::wstring::npos)
      << stack;

  const std::string raw = kwtest::readFile(traceFile);
  const std::string trace =
      kwtest::narrow(kw::ByteArray(raw.data(), static_cast<int>(raw.size())).w2w());
  fs::remove(traceFile);
  EXPECT_NE(trace.find(std::to_string(SiteId::HardwareFaultTraced) +
                       " Win32 exception translate function called"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("Exception: "), std::string::npos) << trace;
  if (emulatorFault)
    GTEST_SKIP() << "the emulator reported the null write as an illegal instruction, so its "
                    "access-violation parameters cannot be checked here: "
                 << kwtest::narrow(description);
}

// Holds the named mutex and echoes one message over the transport.
// args: mutex name, channel to the child, channel back, ready file, done file.
KW_CHILD_MAIN(smokePeer) {
  if (args.size() != 5) return 20;
  kw::Mutex mutex;
  mutex.initialise(kwtest::wide(args[0]).c_str());
  mutex.lock();
  Device in(kwtest::wide(args[1]).c_str(), Device::Reader);
  Device out(kwtest::wide(args[2]).c_str(), Device::Writer);
  if (!startAndWait(in) || !startAndWait(out)) return 21;
  kwtest::touchFile(args[3]);
  std::unique_ptr<Msg> msg(in.waitForMessage(kReplyMs));
  if (!msg) return 22;
  out.pushMessage(msg.release());
  if (!kwtest::eventually([&] { return out.getOutQSize() == 0; }, kReplyMs)) return 23;
  if (!kwtest::waitForFile(args[4], kReplyMs)) return 24;
  mutex.release();
  stopAll(in, out);
  return 0;
}

TEST(Smoke, TwoProcessesShareANamedMutexAndATransport) {
  kwtest::ScratchDir signals;
  const std::wstring unique = kwtest::uniqueName();
  const std::wstring mutexName = kw::Tools::createLocalObjectName((L"Smoke." + unique).c_str());
  const std::wstring toChild = L"SmokeTo." + unique;
  const std::wstring back = L"SmokeBack." + unique;
  const std::string ready = (signals.path() / "ready").string();
  const std::string done = (signals.path() / "done").string();

  Device out(toChild.c_str(), Device::Writer);
  Device in(back.c_str(), Device::Reader);
  ASSERT_TRUE(startAndWait(out) && startAndWait(in));
  kwtest::ChildProcess child("smokePeer", {kwtest::narrow(mutexName), kwtest::narrow(toChild),
                                           kwtest::narrow(back), ready, done});
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(kwtest::waitForFile(ready, kStartMs));

  kw::Mutex mutex;
  mutex.initialise(mutexName.c_str());
  EXPECT_EQ(WaitForSingleObject(mutex.getHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  auto* sent = new Msg;
  sent->setType(Msg::UPDATE);
  sent->setAttributeValue(L"Text", std::wstring(L"32-bit \U0001F600"));
  sent->setAttributeValue(L"Blob", new kw::ByteArray("\x01\x02\x03", 3));
  sent->setAttributeValue(L"Serial", 7);
  const std::string expected = wireHex(*sent);
  out.pushMessage(sent);
  std::unique_ptr<Msg> echoed(in.waitForMessage(kReplyMs));
  ASSERT_TRUE(echoed);
  EXPECT_EQ(wireHex(*echoed), expected);

  kwtest::touchFile(done);
  EXPECT_EQ(WaitForSingleObject(mutex.getHandle(), kReplyMs), static_cast<DWORD>(WAIT_OBJECT_0));
  mutex.release();
  EXPECT_EQ(child.wait(), 0);
  stopAll(out, in);
}
