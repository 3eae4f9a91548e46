// Starting programs on Linux: posix_spawn and a bounded wait. Twin of
// win32/Process.cpp.
#include "os/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "Utf16.h"
#include "os/ErrorText.h"

extern char** environ;

namespace kw::os {

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Children that outlived their wait; only these pids are ever waited for,
// so other code's children are left alone.
struct Lingering {
  std::mutex lock;
  std::vector<pid_t> pids;
};

Lingering& lingering() {
  static Lingering* children = new Lingering;  // Never destroyed: exit may race a caller.
  return *children;
}

// True when the child has ended and is gone; false while it runs.
bool reaped(pid_t pid) {
  for (;;) {
    int status = 0;
    pid_t answer = ::waitpid(pid, &status, WNOHANG);
    if (answer == pid) return true;
    if (answer == 0) return false;
    if (errno == EINTR) continue;
    // ECHILD: reaped already, by someone else or by an ignored SIGCHLD.
    return true;
  }
}

void reapLingering() {
  Lingering& children = lingering();
  std::lock_guard<std::mutex> guard(children.lock);
  children.pids.erase(std::remove_if(children.pids.begin(), children.pids.end(), reaped),
                      children.pids.end());
}

void keepForLater(pid_t pid) {
  Lingering& children = lingering();
  std::lock_guard<std::mutex> guard(children.lock);
  children.pids.push_back(pid);
}

// The arguments after the program, split as the Windows runtime splits them.
std::vector<std::wstring> splitArguments(const std::wstring& text) {
  std::vector<std::wstring> arguments;
  std::size_t i = 0;
  for (;;) {
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i >= text.size()) return arguments;
    std::wstring argument;
    bool quoted = false;
    while (i < text.size() && (quoted || !isBlank(text[i]))) {
      std::size_t backslashes = 0;
      while (i < text.size() && text[i] == L'\\') {
        ++backslashes;
        ++i;
      }
      if (i < text.size() && text[i] == L'"') {
        // 2n backslashes and a quote: n backslashes, the quote toggles
        // quoting; 2n + 1: n backslashes and a literal quote.
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2) {
          argument += L'"';
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(backslashes, L'\\');
        if (i < text.size() && (quoted || !isBlank(text[i]))) argument += text[i++];
      }
    }
    arguments.push_back(argument);
  }
}

bool namesFile(const std::wstring& path) {
  struct stat info;
  return ::stat(utf16::toUtf8(path).c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// The program and where its arguments begin, found as CreateProcessW finds
// them when it is given no application name.
std::wstring findProgram(const std::wstring& line, std::size_t& rest) {
  if (!line.empty() && line[0] == L'"') {
    std::size_t close = line.find(L'"', 1);
    rest = close == std::wstring::npos ? line.size() : close + 1;
    return line.substr(1, rest - 1 - (close == std::wstring::npos ? 0 : 1));
  }
  for (std::size_t end = 0; end <= line.size(); ++end) {
    if (end < line.size() && !isBlank(line[end])) continue;
    if (namesFile(line.substr(0, end))) {
      rest = end;
      return line.substr(0, end);
    }
  }
  // None exists: the first word is what fails to start.
  rest = std::min(line.find_first_of(L" \t"), line.size());
  return line.substr(0, rest);
}

bool spawn(const std::string& program, std::vector<std::string>& arguments, pid_t& pid) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  // A fresh program: no blocked signals, none ignored because the caller ignores it.
  posix_spawnattr_t attributes;
  if (!succeeded(posix_spawnattr_init(&attributes))) return false;
  sigset_t none;
  sigset_t every;
  sigemptyset(&none);
  sigfillset(&every);
  sigdelset(&every, SIGKILL);
  sigdelset(&every, SIGSTOP);
  const bool started =
      succeeded(posix_spawnattr_setsigmask(&attributes, &none)) &&
      succeeded(posix_spawnattr_setsigdefault(&attributes, &every)) &&
      succeeded(
          posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)) &&
      succeeded(::posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ));
  keepingLastError([&] { posix_spawnattr_destroy(&attributes); });
  return started;
}

}  // namespace

bool runHidden(const std::wstring& commandLine, unsigned timeoutMs) {
  reapLingering();
  std::size_t rest = 0;
  std::wstring program = findProgram(commandLine, rest);
  std::vector<std::string> arguments{utf16::toUtf8(program)};
  for (const std::wstring& argument : splitArguments(commandLine.substr(rest))) {
    arguments.push_back(utf16::toUtf8(argument));
  }
  pid_t pid = 0;
  if (program.empty() || !spawn(arguments[0], arguments, pid)) return false;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (reaped(pid)) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  keepForLater(pid);
  return false;
}

}  // namespace kw::os
