// Multi-process tests: the test executable starts itself again as a child
// that runs one registered child routine instead of the tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kwtest {

using ChildMain = int (*)(const std::vector<std::string>& args);

struct ChildRegistrar {
  ChildRegistrar(const char* name, ChildMain main);
};

// Runs the registered child named on the command line, if any; returns true
// and sets exitCode when this process is such a child.
bool runChildIfRequested(int argc, char** argv, int& exitCode);

class ChildProcess {
 public:
  ChildProcess(const std::string& name, const std::vector<std::string>& args = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return m_started; }
  // The child's exit code, or -1 when it could not be waited for.
  int wait();
  void kill();

 private:
  bool m_started = false;
  bool m_done = false;
  int m_exitCode = -1;
  void* m_handle = nullptr;
  long m_pid = 0;
};

// This test executable's own path.
std::filesystem::path ownExecutable();

// Waits until a file exists there (a child's signal); false after the time-out.
bool waitForFile(const std::string& path, int timeoutMs = 30000);
// Creates an empty file there.
void touchFile(const std::string& path);

// Sets or clears an environment variable for this process and its children.
void setEnv(const std::string& name, const std::string& value);

}  // namespace kwtest

#define KW_CHILD_MAIN(name)                                                    \
  static int name##_child(const std::vector<std::string>& args);               \
  static const ::kwtest::ChildRegistrar name##_registrar(#name, name##_child); \
  static int name##_child(const std::vector<std::string>& args)
