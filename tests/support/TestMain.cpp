// The test programs' main: runs a requested child routine, else the tests; a crash on Windows
// fails the run.
#include <gtest/gtest.h>

#include "support/ChildProcess.h"

#ifdef _WIN32
#include <windows.h>

namespace {

// An unhandled crash must fail the test run, never pass by accident.
LONG WINAPI terminateOnCrash(EXCEPTION_POINTERS*) {
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  SetUnhandledExceptionFilter(terminateOnCrash);
#endif
  int exitCode = 0;
  if (kwtest::runChildIfRequested(argc, argv, exitCode)) return exitCode;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
