// ChildProcess: starts this test executable again to run one registered child routine, and the
// child's side of that start-up; a child still running at the end is killed.
#include "support/ChildProcess.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "support/Eventually.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace kwtest {

namespace {

const char kChildFlag[] = "--kw-child=";

std::map<std::string, ChildMain>& registry() {
  static std::map<std::string, ChildMain> children;
  return children;
}

std::string& selfPath() {
  static std::string path;
  return path;
}

}  // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildMain main) { registry()[name] = main; }

bool runChildIfRequested(int argc, char** argv, int& exitCode) {
  selfPath() = argv[0];
#ifdef _WIN32
  char module[MAX_PATH];
  if (GetModuleFileNameA(nullptr, module, MAX_PATH)) selfPath() = module;
#else
  char module[4096];
  ssize_t n = readlink("/proc/self/exe", module, sizeof module - 1);
  if (n > 0) selfPath().assign(module, static_cast<std::size_t>(n));
#endif
  if (argc < 2 || std::strncmp(argv[1], kChildFlag, sizeof kChildFlag - 1) != 0) return false;
  auto found = registry().find(argv[1] + sizeof kChildFlag - 1);
  if (found == registry().end()) {
    exitCode = 97;
    return true;
  }
  exitCode = found->second(std::vector<std::string>(argv + 2, argv + argc));
  return true;
}

#ifdef _WIN32

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args) {
  std::string command = "\"" + selfPath() + "\" " + kChildFlag + name;
  for (const auto& arg : args) command += " \"" + arg + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::string mutableCommand = command;
  if (CreateProcessA(nullptr, &mutableCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &info)) {
    CloseHandle(info.hThread);
    m_handle = info.hProcess;
    m_pid = static_cast<long>(info.dwProcessId);
    m_started = true;
  }
}

ChildProcess::~ChildProcess() {
  if (m_started && !m_done) {
    kill();
    wait();
  }
  if (m_handle) CloseHandle(m_handle);
}

int ChildProcess::wait() {
  if (!m_started) return -1;
  if (!m_done) {
    WaitForSingleObject(m_handle, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_handle, &code);
    m_exitCode = static_cast<int>(code);
    m_done = true;
  }
  return m_exitCode;
}

void ChildProcess::kill() {
  if (m_started && !m_done) TerminateProcess(m_handle, 9);
}

void setEnv(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
  SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

#else

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> argvText{selfPath(), kChildFlag + name};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argvPointers;
  for (auto& arg : argvText) argvPointers.push_back(&arg[0]);
  argvPointers.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, selfPath().c_str(), nullptr, nullptr, argvPointers.data(), environ) == 0) {
    m_pid = pid;
    m_started = true;
  }
}

ChildProcess::~ChildProcess() {
  if (m_started && !m_done) {
    kill();
    wait();
  }
}

int ChildProcess::wait() {
  if (!m_started) return -1;
  if (!m_done) {
    int status = 0;
    while (waitpid(static_cast<pid_t>(m_pid), &status, 0) < 0) {
    }
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_done = true;
  }
  return m_exitCode;
}

void ChildProcess::kill() {
  if (m_started && !m_done) ::kill(static_cast<pid_t>(m_pid), SIGKILL);
}

void setEnv(const std::string& name, const std::string& value) {
  if (value.empty())
    unsetenv(name.c_str());
  else
    setenv(name.c_str(), value.c_str(), 1);
}

#endif

std::filesystem::path ownExecutable() { return selfPath(); }

bool waitForFile(const std::string& path, int timeoutMs) {
  return eventually([&] { return std::filesystem::exists(path); }, timeoutMs);
}

void touchFile(const std::string& path) { std::ofstream(path, std::ios::binary).flush(); }

}  // namespace kwtest
