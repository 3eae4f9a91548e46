// Tests of Tools' identity questions: the local system account, the machine name, this process,
// and the foreground window (through the X server on Linux).
#include <gtest/gtest.h>
#include <kw/Tools.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
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

// The test executable's own path, as the system reports it.
std::wstring ownPath() {
#ifdef _WIN32
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
#else
  char path[PATH_MAX] = {};
  if (readlink("/proc/self/exe", path, sizeof path - 1) < 0) return std::wstring();
  return Tools::widenNarrowString(path);
#endif
}

}  // namespace

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
  if (!Tools::isCurrentUserLocalSystem()) faults |= 2;
  return faults;
}

TEST(ToolsLocalSystem, IsEffectiveUidZero) {
  EXPECT_EQ(Tools::isCurrentUserLocalSystem(), geteuid() == 0);
  if (geteuid() != 0) GTEST_SKIP() << "only root can switch its effective uid to show it counts";
  kwtest::ChildProcess child("ToolsLocalSystemEffectiveUid");
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0) << "1: true as uid 65534, 2: false as root again";
}
#endif

TEST(ToolsGetMachineName, ReplacesBothOutputs) {
  std::wstring machine = L"stale", domain = L"stale";
  ASSERT_TRUE(Tools::getMachineName(machine, domain));
  EXPECT_FALSE(machine.empty());
  EXPECT_FALSE(domain.empty());
  EXPECT_NE(machine, L"stale");
#ifndef _WIN32
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(machine, Tools::widenNarrowString(host));
#endif
}

TEST(ToolsIsThisProcess, NameIsACaseBlindSubstringOfThePath) {
  const std::wstring path = L"C:\\Program Files\\Kestrelwright\\VRXOffice.exe";
  EXPECT_TRUE(Probe::pathHoldsName(path, L""));
  EXPECT_TRUE(Probe::pathHoldsName(path, L"vrxoffice.exe"));
  EXPECT_TRUE(Probe::pathHoldsName(path, L"VRXOFFICE"));
  EXPECT_TRUE(Probe::pathHoldsName(path, L"Office.EXE"));
  // Folders count as much as the file name.
  EXPECT_TRUE(Probe::pathHoldsName(path, L"KESTRELWRIGHT"));
  EXPECT_TRUE(Probe::pathHoldsName(path, L"files\\kestrelwright\\vrx"));
  EXPECT_FALSE(Probe::pathHoldsName(path, L"VRXOutlook"));
  EXPECT_FALSE(Probe::pathHoldsName(path, L"VRXOffice.exe.config"));
  EXPECT_FALSE(Probe::pathHoldsName(L"", L"a"));
  // Only ASCII letters fold.
  EXPECT_FALSE(Probe::pathHoldsName(L"/opt/\u00c9T\u00c9/app", L"\u00e9t\u00e9"));
  EXPECT_TRUE(Probe::pathHoldsName(L"/opt/\u00c9T\u00c9/app", L"\u00c9t\u00c9/APP"));
}

TEST(ToolsIsThisProcess, MatchesThisTestExecutable) {
  EXPECT_TRUE(Tools::isThisProcess(L""));
  EXPECT_TRUE(Tools::isThisProcess(L"kwtest_utilities"));
  EXPECT_TRUE(Tools::isThisProcess(L"KWTEST_UTILITIES"));
  EXPECT_FALSE(Tools::isThisProcess(L"kwtest_no_such_program"));

  std::wstring path = ownPath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(Tools::isThisProcess(path.c_str()));
  Tools::stringToUpper(path);
  EXPECT_TRUE(Tools::isThisProcess(path.c_str()));
  path += L"x";
  EXPECT_FALSE(Tools::isThisProcess(path.c_str()));
}

// This process has no window of its own, so whatever is in front is not it
// (Wine without a display answers its desktop window, which belongs to
// explorer.exe).
TEST(ToolsForegroundWindow, NoOwnWindowMeansFalseAndNull) {
  EXPECT_FALSE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);
#ifndef _WIN32
  {
    kwtest::ScopedEnv display("DISPLAY", "");
    EXPECT_FALSE(Tools::isCurrentApp());
    EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);
  }
  {
    // No server there: the connection fails.
    kwtest::ScopedEnv display("DISPLAY", ":4093");
    EXPECT_FALSE(Tools::isCurrentApp());
    EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);
  }
#endif
}

#ifdef _WIN32
TEST(ToolsForegroundWindow, OwnWindowInFront) {
  HWND window = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"kwtest", WS_POPUP | WS_VISIBLE, 0, 0,
                                32, 32, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!window) {
    GTEST_SKIP() << "no window can be made here (Wine without an X display has no window driver; "
                    "error "
                 << GetLastError() << ")";
  }
  SetForegroundWindow(window);
  if (GetForegroundWindow() != window) {
    DestroyWindow(window);
    GTEST_SKIP() << "the system does not bring this process's window to the front "
                    "(Wine without a display keeps no foreground window)";
  }
  EXPECT_TRUE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), window);
  DestroyWindow(window);
  EXPECT_FALSE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);
}
#elif defined(KW_TEST_X11)

namespace {

// A private X server; reports the display it took through -displayfd once
// it accepts connections.
class Xvfb {
 public:
  Xvfb() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
      m_reason = "no pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The write end reaches the server as fd 3, without close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string args[] = {"Xvfb", "-displayfd", "3", "-nolisten",
                          "tcp",  "-screen",    "0", "64x64x24"};
    char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0], &args[4][0],
                    &args[5][0], &args[6][0], &args[7][0], nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    m_installed = spawned != ENOENT;
    if (spawned != 0) {
      close(ready[0]);
      m_reason = m_installed ? "Xvfb could not be started" : "Xvfb is not installed (package xvfb)";
      return;
    }
    m_pid = pid;

    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    char c = 0;
    while (poll(&wait, 1, 30000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    close(ready[0]);
    if (number.empty()) {
      m_reason = "Xvfb did not report a display";
      return;
    }
    m_display = ":" + number;
  }
  ~Xvfb() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool installed() const { return m_installed; }
  const std::string& display() const { return m_display; }
  const std::string& reason() const { return m_reason; }

 private:
  bool m_installed = false;
  pid_t m_pid = 0;
  std::string m_display;
  std::string m_reason;
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
  if (!server.installed()) GTEST_SKIP() << server.reason();
  ASSERT_FALSE(server.display().empty()) << server.reason();
  kwtest::ScopedEnv env("DISPLAY", server.display());
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  Window root = DefaultRootWindow(display);

  // No window manager has said anything yet.
  EXPECT_FALSE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);

  Window window = XCreateSimpleWindow(display, root, 0, 0, 16, 16, 0, 0, 0);
  setLong(display, window, "_NET_WM_PID", XA_CARDINAL, static_cast<unsigned long>(getpid()));
  setLong(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, window);
  EXPECT_TRUE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), asHwnd(window));

  setLong(display, window, "_NET_WM_PID", XA_CARDINAL, static_cast<unsigned long>(getppid()));
  EXPECT_FALSE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);

  XDeleteProperty(display, window, XInternAtom(display, "_NET_WM_PID", False));
  XSync(display, False);
  EXPECT_FALSE(Tools::isCurrentApp());

  // A pid of the wrong type is no answer.
  setLong(display, window, "_NET_WM_PID", XA_INTEGER, static_cast<unsigned long>(getpid()));
  EXPECT_FALSE(Tools::isCurrentApp());

  setLong(display, window, "_NET_WM_PID", XA_CARDINAL, static_cast<unsigned long>(getpid()));
  setLong(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, None);
  EXPECT_FALSE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);

  // The active window has gone: Xlib's default error handler would end the
  // process here. The process's own handler sees nothing and stays.
  setLong(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, window);
  ASSERT_TRUE(Tools::isCurrentApp());
  XDestroyWindow(display, window);
  XSync(display, False);
  XErrorHandler previous = XSetErrorHandler(&countError);
  EXPECT_FALSE(Tools::isCurrentApp());
  EXPECT_EQ(Tools::getMyTopLevelHWND(), nullptr);
  EXPECT_EQ(XSetErrorHandler(previous), &countError);
  EXPECT_EQ(g_testErrors, 0);

  XCloseDisplay(display);
}

#else
TEST(ToolsForegroundWindow, FollowsTheActiveWindowOfTheXServer) {
  GTEST_SKIP() << "built without the libX11 headers (package libx11-dev)";
}
#endif
