// Tests of Tools: text helpers (trimming, splitting, case, error text, the clock, UTF-8), and the
// identity questions: the local system account, the machine name, this process, and the foreground
// window (through the X server on Linux).
#include <gtest/gtest.h>
#include <kw/Tools.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#endif

#ifdef KW_TEST_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

using kw::Tools;

namespace {

struct Probe : kw::Tools {
  using Tools::isMachineAccount;
  using Tools::parseUserName;
  using Tools::pathHoldsName;
};

bool localSystemFor(const std::wstring& account, const std::wstring& machine) {
  std::wstring user, domain;
  return Probe::parseUserName(account, user, domain) && Probe::isMachineAccount(user, machine);
}

// Both foreground calls agree on which window of this process is in front.
void expectInFront(HWND window) {
  EXPECT_EQ(Tools::isCurrentApp(), window != nullptr);
  EXPECT_EQ(Tools::getMyTopLevelHWND(), window);
}

}  // namespace

TEST(ToolsCleanString, TrimsOnlyTheEnds) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"\\Software\\Kestrelwright\\", L"Software\\Kestrelwright"},
      {L" ..;; . ", L""},
      {L"a..b", L"a..b"},
      {L"\t/:C:\\x;./", L"C:\\x"},
      {L"", L""},
  };
  for (const auto& [input, cleaned] : cases) {
    std::wstring text = input;
    Tools::cleanString(text);
    EXPECT_EQ(text, cleaned) << Tools::narrowWideString(input);
  }
}

TEST(ToolsSplitString, DelimitersAreASetAndYieldNoEmptyTokens) {
  using Tokens = std::vector<std::wstring>;
  const std::tuple<const wchar_t*, const wchar_t*, Tokens> cases[] = {
      {L"DOMAIN\\user", L"\\/", {L"DOMAIN", L"user"}},
      {L"//a\\\\b/", L"\\/", {L"a", L"b"}},
      {L"", L"\\/", {}},
      {L"\\//\\", L"\\/", {}},
      {L"abc", L"", {L"abc"}},
  };
  for (const auto& [text, delimiters, expected] : cases) {
    // What the list held before goes.
    Tokens tokens{L"stale"};
    Tools::splitString(text, tokens, delimiters);
    EXPECT_EQ(tokens, expected) << Tools::narrowWideString(text);
  }
}

TEST(ToolsCase, OnlyAsciiLettersChange) {
  std::wstring text = L"abc\u00e9Z1";
  Tools::stringToUpper(text);
  EXPECT_EQ(text, L"ABC\u00e9Z1");
  Tools::stringToLower(text);
  EXPECT_EQ(text, L"abc\u00e9z1");
}

TEST(ToolsLookupErrorDescription, OneLineOrUntouched) {
  std::wstring text;
  Tools::lookupErrorDescription(2, text);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);

  text = L"previous";
  Tools::lookupErrorDescription(0x7ABCDEF, text);
  EXPECT_EQ(text, L"previous");
}

TEST(ToolsGetCurrentTime, IsUnixSeconds) {
  // The system clock read as the library reads it: time() may lag a tick behind.
  using Clock = std::chrono::system_clock;
  const std::int64_t before = Clock::to_time_t(Clock::now());
  const std::int64_t now = Tools::getCurrentTime();
  EXPECT_GE(now, before);
  EXPECT_LE(now, static_cast<std::int64_t>(Clock::to_time_t(Clock::now())));
}

TEST(ToolsConversion, Utf8RoundTripsAllPlanes) {
  EXPECT_EQ(Tools::widenNarrowString("\xC3\xA9"), L"\u00e9");
  EXPECT_EQ(Tools::widenNarrowString(""), L"");
  EXPECT_EQ(Tools::narrowWideString(L""), "");

  // U+1F600 is a surrogate pair on Windows and one wchar_t on Linux.
  const std::string narrow = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::wstring wide = Tools::widenNarrowString(narrow);
  EXPECT_EQ(wide, L"a\u00e9\u20ac\U0001F600z");
  EXPECT_EQ(Tools::narrowWideString(wide), narrow);
}

TEST(ToolsConversion, StopsAtNulAndReplacesBadBytes) {
  EXPECT_EQ(Tools::widenNarrowString(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(Tools::narrowWideString(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(Tools::widenNarrowString("x\xFFy"), L"x\ufffdy");
}

TEST(ToolsLocalSystem, IsTheMachineAccountByExactUserPart) {
  EXPECT_TRUE(localSystemFor(L"CORP\\HOST$", L"HOST"));
  EXPECT_FALSE(localSystemFor(L"CORP\\host$", L"HOST"));
  EXPECT_FALSE(localSystemFor(L"CORP\\HOST", L"HOST"));
  EXPECT_FALSE(localSystemFor(L"CORP\\HOST$", L"HOS"));
  EXPECT_FALSE(localSystemFor(L"CORP\\HOST$$", L"HOST"));
  // The domain is not what counts.
  EXPECT_FALSE(localSystemFor(L"HOST$\\alice", L"HOST"));
  EXPECT_TRUE(localSystemFor(L"WORKGROUP/HOST$", L"HOST"));
}

#ifdef _WIN32
TEST(ToolsLocalSystem, FollowsTheAccountAndMachineNames) {
  std::wstring user, domain, machine, group;
  ASSERT_TRUE(Tools::getUserName(user, domain));
  ASSERT_TRUE(Tools::getMachineName(machine, group));
  EXPECT_EQ(Tools::isCurrentUserLocalSystem(), user == machine + L"$");
}
#else
// Exit code 0 when only the effective uid decides.
KW_CHILD_MAIN(ToolsLocalSystemEffectiveUid) {
  if (seteuid(65534) != 0) return 10;
  int faults = Tools::isCurrentUserLocalSystem() ? 1 : 0;
  if (seteuid(0) != 0) return 11;
  return Tools::isCurrentUserLocalSystem() ? faults : faults | 2;
}

TEST(ToolsLocalSystem, IsEffectiveUidZero) {
  EXPECT_EQ(Tools::isCurrentUserLocalSystem(), geteuid() == 0);
  if (geteuid() != 0) GTEST_SKIP() << "only root can switch its effective uid to show it counts";
  kwtest::ChildProcess child("ToolsLocalSystemEffectiveUid");
  EXPECT_EQ(child.wait(), 0) << "1: true as uid 65534, 2: false as root again";
}
#endif

TEST(ToolsGetMachineName, ReplacesBothOutputs) {
  std::wstring machine = L"stale", domain = L"stale";
  ASSERT_TRUE(Tools::getMachineName(machine, domain));
  EXPECT_FALSE(domain.empty());
  EXPECT_NE(domain, L"stale");
#ifdef _WIN32
  EXPECT_FALSE(machine.empty());
  EXPECT_NE(machine, L"stale");
#else
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(machine, Tools::widenNarrowString(host));
#endif
}

TEST(ToolsIsThisProcess, NameIsACaseBlindSubstringOfThePath) {
  const std::wstring path = L"C:\\Program Files\\Kestrelwright\\VRXOffice.exe";
  EXPECT_TRUE(Probe::pathHoldsName(path, L"Office.EXE"));
  // Folders count as much as the file name.
  EXPECT_TRUE(Probe::pathHoldsName(path, L"files\\kestrelwright\\vrx"));
  EXPECT_FALSE(Probe::pathHoldsName(path, L"VRXOutlook"));
  EXPECT_FALSE(Probe::pathHoldsName(L"", L"a"));
  // Only ASCII letters fold.
  EXPECT_FALSE(Probe::pathHoldsName(L"/opt/\u00c9T\u00c9/app", L"\u00e9t\u00e9"));
  EXPECT_TRUE(Probe::pathHoldsName(L"/opt/\u00c9T\u00c9/app", L"\u00c9t\u00c9/APP"));

  EXPECT_TRUE(Tools::isThisProcess(L""));
  EXPECT_TRUE(Tools::isThisProcess(L"KWTEST_UTILITIES"));
  EXPECT_FALSE(Tools::isThisProcess(L"kwtest_no_such_program"));
  std::wstring own = kwtest::ownExecutable().wstring();
  Tools::stringToUpper(own);
  EXPECT_TRUE(Tools::isThisProcess(own.c_str()));
  EXPECT_FALSE(Tools::isThisProcess((own + L"x").c_str()));
}

// This process has no window of its own, so whatever is in front is not it
// (Wine without a display answers its desktop window, which belongs to
// explorer.exe); on Linux neither is there without a display or a server.
TEST(ToolsForegroundWindow, NoOwnWindowMeansFalseAndNull) {
  expectInFront(nullptr);
#ifndef _WIN32
  for (const char* display : {"", ":4093"}) {
    kwtest::ScopedEnv env("DISPLAY", display);
    expectInFront(nullptr);
  }
#endif
}

#ifdef _WIN32
TEST(ToolsForegroundWindow, OwnWindowInFront) {
  HWND window = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"kwtest", WS_POPUP | WS_VISIBLE, 0, 0,
                                32, 32, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!window) GTEST_SKIP() << "no window can be made here (Wine without an X display)";
  SetForegroundWindow(window);
  if (GetForegroundWindow() != window) {
    DestroyWindow(window);
    GTEST_SKIP() << "the system does not bring this process's window to the front "
                    "(Wine without a display keeps no foreground window)";
  }
  expectInFront(window);
  DestroyWindow(window);
  expectInFront(nullptr);
}
#elif defined(KW_TEST_X11)

namespace {

// A private X server; `display` stays empty when it did not come up.
class Xvfb {
 public:
  // The shell reports its pid and becomes the server, which reports its
  // display once it accepts connections.
  Xvfb()
      : m_pipe(popen("command -v Xvfb >/dev/null || exit; echo $$; exec Xvfb -displayfd 1 "
                     "-nolisten tcp -screen 0 64x64x24 2>/dev/null",
                     "r")) {
    pollfd ready{m_pipe ? fileno(m_pipe) : -1, POLLIN, 0};
    int number = -1;
    if (m_pipe && std::fscanf(m_pipe, "%d", &m_pid) == 1 && poll(&ready, 1, 30000) > 0 &&
        std::fscanf(m_pipe, "%d", &number) == 1)
      m_display = ":" + std::to_string(number);
  }
  ~Xvfb() {
    if (m_pid > 0) kill(m_pid, SIGTERM);
    if (m_pipe) pclose(m_pipe);
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool installed() const { return m_pid > 0; }
  const std::string& display() const { return m_display; }

 private:
  FILE* m_pipe;
  pid_t m_pid = 0;
  std::string m_display;
};

int g_testErrors = 0;
int countError(Display*, XErrorEvent*) { return ++g_testErrors, 0; }

HWND asHwnd(Window window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }

void setLong(Display* display, Window window, const char* name, Atom type, unsigned long value) {
  Atom property = XInternAtom(display, name, False);
  XChangeProperty(display, window, property, type, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&value), 1);
  XSync(display, False);
}

}  // namespace

// The test plays the window manager: it names the active window on the root
// window and the process on the window, as EWMH window managers do.
TEST(ToolsForegroundWindow, FollowsTheActiveWindowOfTheXServer) {
  Xvfb server;
  if (!server.installed()) GTEST_SKIP() << "Xvfb is not installed (package xvfb)";
  ASSERT_FALSE(server.display().empty()) << "Xvfb did not report a display";
  kwtest::ScopedEnv env("DISPLAY", server.display());
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  const Window root = DefaultRootWindow(display);
  const unsigned long self = static_cast<unsigned long>(getpid());
  expectInFront(nullptr);  // no window manager has said anything yet

  Window window = XCreateSimpleWindow(display, root, 0, 0, 16, 16, 0, 0, 0);
  setLong(display, window, "_NET_WM_PID", XA_CARDINAL, self);
  setLong(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, window);
  expectInFront(asHwnd(window));
  setLong(display, window, "_NET_WM_PID", XA_CARDINAL, static_cast<unsigned long>(getppid()));
  expectInFront(nullptr);
  XDeleteProperty(display, window, XInternAtom(display, "_NET_WM_PID", False));
  XSync(display, False);
  expectInFront(nullptr);
  // A pid of the wrong type is no answer.
  setLong(display, window, "_NET_WM_PID", XA_INTEGER, self);
  expectInFront(nullptr);
  setLong(display, window, "_NET_WM_PID", XA_CARDINAL, self);
  setLong(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, None);
  expectInFront(nullptr);

  // The active window has gone: Xlib's default error handler would end the
  // process here. The process's own handler sees nothing and stays.
  setLong(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, window);
  ASSERT_TRUE(Tools::isCurrentApp());
  XDestroyWindow(display, window);
  XSync(display, False);
  XErrorHandler previous = XSetErrorHandler(&countError);
  expectInFront(nullptr);
  EXPECT_EQ(XSetErrorHandler(previous), &countError);
  EXPECT_EQ(g_testErrors, 0);
  XCloseDisplay(display);
}

#else
TEST(ToolsForegroundWindow, FollowsTheActiveWindowOfTheXServer) {
  GTEST_SKIP() << "built without the libX11 headers (package libx11-dev)";
}
#endif
