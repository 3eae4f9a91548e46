// Tests of the fault translator: faults arriving as exceptions after a trace event, many faults
// and two faulting threads, the modes, and faults it must leave alone.
#include <gtest/gtest.h>
#include <kw/Exception.h>
#include <kw/LogDevice.h>
#include <kw/Logger.h>
#include <kw/SiteId.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "os/Unwinding.h"
#include "support/ChildProcess.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"
#include "support/TraceCapture.h"

#ifdef _WIN32
#include <windows.h>
#endif

using kw::Exception;
using kw::SiteId;

// A bare store and return with no unwind entry on Windows (the frameless
// case the redirect must unwind by hand); Linux needs its call-frame info to
// unwind through it. Named for the assembler as written, which 32-bit C
// symbols would otherwise prefix.
extern "C" void kwtestBareStore(int* target) asm("kwtestBareStore");
asm(".text\n"
    ".globl kwtestBareStore\n"
#if defined(_WIN32) && defined(__i386__)
    "kwtestBareStore:\n"
    "  movl 4(%esp), %eax\n"
    "  movl $1, (%eax)\n"
    "  ret\n"
#elif defined(_WIN32)
    "kwtestBareStore:\n"
    "  movl $1, (%rcx)\n"
    "  ret\n"
#else
    ".type kwtestBareStore, @function\n"
    "kwtestBareStore:\n"
    ".cfi_startproc\n"
    "  movl $1, (%rdi)\n"
    "  ret\n"
    ".cfi_endproc\n"
    ".size kwtestBareStore, .-kwtestBareStore\n"
#endif
);

namespace {

// Every fault is reached through a volatile pointer, so that g++ cannot
// see that a call does not throw and drop the try around it. The
// sanitizers' checks would stop the faults before they happen.
#define KW_FAULTING __attribute__((noinline, no_sanitize("address", "undefined")))

KW_FAULTING void writeThroughNull() {
  volatile int* volatile target = nullptr;
  *target = 42;
}

KW_FAULTING void divideByZero() {
  volatile int zero = 0;
  volatile int result = 1 / zero;
  (void)result;
}

// Frameless once optimised, whatever the build type.
KW_FAULTING __attribute__((optimize("O2"))) void leafStore(int* target) { *target = 1; }

void (*volatile g_writeThroughNull)() = writeThroughNull;
void (*volatile g_divideByZero)() = divideByZero;
void (*volatile g_leafStore)(int*) = leafStore;
void (*volatile g_bareStore)(int*) = kwtestBareStore;

const wchar_t kMode[] = L"Win32ExceptionHandler";
const int kAccessViolation = -1073741819;  // 0xC0000005
const int kIntDivideByZero = -1073741676;  // 0xC0000094

// What a child that dies of an unhandled access violation exits with.
int crashExitCode() {
#ifdef _WIN32
  return 3;  // the test main's unhandled-exception filter
#elif defined(__SANITIZE_ADDRESS__)
  return 1;  // the address sanitizer reports the fault and exits
#else
  return 128 + SIGSEGV;
#endif
}

struct ModeProbe : Exception {
  static int mode() { return s_nWin32ExceptionHandler; }
};

// The ID of what a fault raised, or 0 when nothing arrived as an Exception.
template <typename Fault>
int idOfFault(Fault fault, Exception* caught = nullptr) {
  try {
    fault();
  } catch (Exception& exception) {
    if (caught) *caught = exception;
    return exception.getExceptionID();
  }
  return 0;
}

// Parameter n of a translated exception's description, as text.
std::wstring parameter(const Exception& exception, int n) {
  const std::wstring description = exception.getDescription();
  const std::wstring tag = L"(Param " + std::to_wstring(n) + L": ";
  const auto begin = description.find(tag);
  if (begin == std::wstring::npos) return L"<none>";
  const auto end = description.find(L')', begin);
  return description.substr(begin + tag.size(), end - begin - tag.size());
}

bool within(const std::wstring& address, void (*function)(), unsigned span) {
  const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(function));
  return static_cast<std::uint32_t>(std::stoll(address)) - low < span;
}

class Translator : public ::testing::Test {
 protected:
  kwtest::SettingsArea m_area;
};

}  // namespace

TEST_F(Translator, ANullWriteArrivesAsAnExceptionAfterOneTraceEvent) {
  kwtest::TraceCapture trace;
  Exception::registerWin32ExceptionHandler();  // no setting: mode 1
  EXPECT_EQ(ModeProbe::mode(), 1);

  int tracedBeforeCatch = -1;
  Exception caught;
  try {
    g_writeThroughNull();
  } catch (Exception& exception) {
    tracedBeforeCatch = trace.count(SiteId::HardwareFaultTraced);
    caught = exception;
  }
  ASSERT_EQ(tracedBeforeCatch, 1);
  EXPECT_EQ(caught.getExceptionID(), SiteId::HardwareFault);
  EXPECT_EQ(caught.getExceptionType(), 0);
  EXPECT_STREQ(caught.getFunction(), L"Exception::translate");
  EXPECT_STREQ(caught.getFile(), L".\\src\\Exception");

  const std::wstring description = caught.getDescription();
  EXPECT_EQ(
      description.rfind(L"Win32 exception (Param 1: -1073741819)  (Param 2: 0)  (Param 3: ", 0), 0u)
      << description;
  EXPECT_TRUE(within(parameter(caught, 3), writeThroughNull, 256)) << description;
  EXPECT_EQ(parameter(caught, 4), L"1") << description;  // a write
  EXPECT_EQ(parameter(caught, 5), L"0") << description;  // at address 0
  EXPECT_EQ(parameter(caught, 6), L"<none>") << description;

  const auto records = trace.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, kw::Event::Error);
  EXPECT_EQ(records[0].text.rfind(L"Win32 exception translate function called ", 0), 0u);
  EXPECT_NE(records[0].text.find(L" Exception: " + caught.toString()), std::wstring::npos);

  // The walk starts at the faulting frame, not in the handler, once there is
  // a walker: the first frame, after the OS-Version line.
  const std::wstring stack = caught.getStackTrace();
  if (!stack.empty()) {
    const std::size_t frame = stack.find(L"\r\r\n") + 3;
    const std::wstring first = stack.substr(frame, stack.find(L"\r\r\n", frame) - frame);
    EXPECT_NE(first.find(L"writeThroughNull"), std::wstring::npos) << stack;
  }
}

TEST_F(Translator, OtherFaultsAndFramelessCodeTranslateToo) {
  kwtest::TraceCapture trace;
  Exception::registerWin32ExceptionHandler();

  Exception caught;
  EXPECT_EQ(idOfFault(g_divideByZero, &caught), SiteId::HardwareFault);
  EXPECT_EQ(parameter(caught, 1), std::to_wstring(kIntDivideByZero));
  EXPECT_EQ(parameter(caught, 4), L"<none>") << caught.getDescription();

  EXPECT_EQ(idOfFault([] { g_leafStore(nullptr); }, &caught), SiteId::HardwareFault);
  EXPECT_EQ(parameter(caught, 4), L"1");
  EXPECT_EQ(idOfFault([] { g_bareStore(reinterpret_cast<int*>(64)); }, &caught),
            SiteId::HardwareFault);
  EXPECT_EQ(parameter(caught, 1), std::to_wstring(kAccessViolation));
  EXPECT_EQ(parameter(caught, 5), L"64");

  // The thread goes on normally after its faults.
  int value = 0;
  g_leafStore(&value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(trace.count(SiteId::HardwareFaultTraced), 3);
}

// Many faults in a row, on two threads at once.
TEST_F(Translator, TwoThreadsFaultAtOnce) {
  // Any positive value but 2 throws. Read at registration: on Windows the
  // value is shared with the tests that run beside this one, so it goes then.
  auto on = std::make_unique<kwtest::SwitchSetting>(kMode, 7);
  kwtest::TraceCapture trace;
  std::atomic<int> ready{0};
  int translated[2] = {0, 0};
  auto worker = [&](int index) {
    Exception::registerWin32ExceptionHandler();
    ++ready;
    while (ready < 2) std::this_thread::yield();
    for (int i = 0; i < 500; ++i)
      if (idOfFault((i + index) % 2 ? g_divideByZero : g_writeThroughNull) == SiteId::HardwareFault)
        ++translated[index];
  };
  std::thread first(worker, 0);
  std::thread second(worker, 1);
  while (ready < 2) std::this_thread::yield();
  on.reset();
  first.join();
  second.join();
  EXPECT_EQ(ModeProbe::mode(), 7);
  EXPECT_EQ(translated[0], 500);
  EXPECT_EQ(translated[1], 500);
  EXPECT_EQ(trace.count(SiteId::HardwareFaultTraced), 1000);
}

namespace {

// Leaves a file behind for each translation event, so that a child that
// then dies still shows that it traced.
class MarkingDevice : public kw::LogDevice {
 public:
  explicit MarkingDevice(std::string path) : m_path(std::move(path)) {}
  void Setup() override {}
  void Write(kw::Event& event) override {
    if (event.getID() == SiteId::HardwareFaultTraced) kwtest::touchFile(m_path);
  }
  void ShutDown() override {}

 private:
  std::string m_path;
};

}  // namespace

// Registers with the mode that the parent set, then writes through null:
// here, or on a thread that never registered after a translated fault here.
// args: the expected mode, a marker path and "here" or "thread".
KW_CHILD_MAIN(faultAfterRegistering) {
  kw::Logger::initialise(L"KwTranslatorTest");
  kw::Logger::addCustomTraceDevice(new MarkingDevice(args.at(1)));
  Exception::registerWin32ExceptionHandler();
  if (ModeProbe::mode() != std::stoi(args.at(0))) return 20;
  int result = 23;
  auto fault = [&result] {
    try {
      g_writeThroughNull();
    } catch (Exception&) {
      result = 21;
    }
    KW_PASS_FORCED_UNWIND
    catch (...) {
      result = 22;
    }
  };
  if (args.at(2) == "here") {
    fault();
  } else {
    if (idOfFault(g_writeThroughNull) != SiteId::HardwareFault) return 30;
    std::thread(fault).join();
  }
  return result;
}

// Mode 0 installs nothing; mode 2 traces the fault, which then goes on as if
// untranslated; a thread that never registered is left alone. Each time the
// child dies of it.
TEST_F(Translator, ModesThatThrowNothingAndUnregisteredThreadsLeaveTheCrash) {
  const struct {
    int mode;
    const char* where;
  } crashes[] = {{0, "here"}, {2, "here"}, {1, "thread"}};
  for (const auto& crash : crashes) {
    SCOPED_TRACE(crash.where + std::to_string(crash.mode));
    kwtest::SwitchSetting setting(kMode, crash.mode);
    const std::string marker =
        m_area.scratch().path().string() + "/traced" + std::to_string(crash.mode);
    EXPECT_EQ(kwtest::ChildProcess("faultAfterRegistering",
                                   {std::to_string(crash.mode), marker, crash.where})
                  .wait(),
              crashExitCode());
    EXPECT_EQ(kwtest::waitForFile(marker, 0), crash.mode != 0);
  }
}

#ifdef _WIN32
// IsBadReadPtr catches its own access violation and answers true.
TEST_F(Translator, AFaultThatSystemCodeHandlesStaysThere) {
  Exception::registerWin32ExceptionHandler();
  bool bad = false;
  int id = idOfFault([&] { bad = IsBadReadPtr(reinterpret_cast<void*>(16), 4); });
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(bad);
}
#endif
