// kwtool as a process: what only a real program shows (signals, the
// bytes of its arguments, a logger that cannot start).
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <kw/Tools.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/ForeignObject.h"
#include "support/ScopedEnv.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"

namespace {

struct Outcome {
  bool ended = false;
  bool signalled = false;
  int code = -1;
  // The most memory the program held at once, in KiB.
  long peakKiB = 0;
  std::string out;
  std::string err;
};

// One run of the kwtool program, its output kept in files (standard output
// in `outPath` when one is given).
class Tool {
 public:
  explicit Tool(std::vector<std::string> args, const std::string& outPath = {}) {
    const std::string out = outPath.empty() ? (m_scratch.path() / "out").string() : outPath;
    const std::string err = (m_scratch.path() / "err").string();
    args.insert(args.begin(), KW_TOOL_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~Tool() {
    if (m_pid > 0 && !m_done) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }

  void signal(int number) { ::kill(m_pid, number); }

  // Killed, and reported as not ended, after the time-out.
  Outcome wait(int timeoutMs = 20000) {
    Outcome outcome;
    int status = 0;
    struct rusage usage {};
    m_done = true;
    if (!kwtest::eventually([&] { return ::wait4(m_pid, &status, WNOHANG, &usage) != 0; },
                            timeoutMs)) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      return outcome;
    }
    outcome.ended = true;
    outcome.signalled = WIFSIGNALED(status);
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.peakKiB = usage.ru_maxrss;
    outcome.out = kwtest::readFile(m_scratch.path() / "out");
    outcome.err = kwtest::readFile(m_scratch.path() / "err");
    return outcome;
  }

 private:
  kwtest::ScratchDir m_scratch;
  pid_t m_pid = -1;
  bool m_done = false;
};

// The shared-memory objects whose names hold `part`, in a folder of their
// own or not.
// Named objects live in the user's runtime folder, or in /dev/shm without one.
int objectsNamed(const std::string& part) {
  int count = 0;
  std::vector<std::string> roots{"/dev/shm", "/run/user/" + std::to_string(::getuid())};
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) roots.emplace_back(runtime);
  for (const auto& root : roots) {
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             root, std::filesystem::directory_options::skip_permission_denied, error)) {
      if (entry.path().filename().string().find(part) != std::string::npos) ++count;
    }
  }
  return count;
}

// Runs kwtool with a host name of its own, so the logger's lock has a name
// no other process uses, and with a folder in the lock's place: the lock
// cannot be made. Exit codes: kwtool's, 77 when the host name cannot be
// set here, 78 when the folder cannot be made.
KW_CHILD_MAIN(KwToolBrokenLogger) {
  if (::unshare(CLONE_NEWUTS) != 0) return 77;
  const std::string host = "kwtest" + std::to_string(::getpid());
  if (::sethostname(host.c_str(), host.size()) != 0) return 77;
  const std::string folder =
      kwtest::sharedObjectPath(kw::Tools::createLocalObjectName(L"kwtool.log.mtx"));
  if (::mkdir(folder.c_str(), 0700) != 0) return 78;
  Tool tool(args);
  Outcome outcome = tool.wait();
  ::rmdir(folder.c_str());
  std::fprintf(stderr, "%s", outcome.err.c_str());
  if (!outcome.ended) return 79;
  return outcome.signalled ? 100 + outcome.code - 128 : outcome.code;
}

}  // namespace

class KwToolSignal : public ::testing::TestWithParam<int> {};

TEST_P(KwToolSignal, SendAndListenEndCleanly) {
  for (const char* command : {"send", "listen"}) {
    SCOPED_TRACE(command);
    const std::string channel = "KwToolSig" + kwtest::narrow(kwtest::uniqueName().substr(0, 10));
    const bool send = command == std::string("send");
    Tool tool(send ? std::vector<std::string>{"send", "--seconds", "60", channel, "A=1"}
                   : std::vector<std::string>{"listen", channel});
    ASSERT_TRUE(kwtest::eventually([&] { return objectsNamed(channel) != 0; }, 20000));
    tool.signal(GetParam());
    Outcome outcome = tool.wait();
    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.signalled);
    // A sender's messages were not all taken; a listener ends as it would.
    EXPECT_EQ(outcome.code, send ? 128 + GetParam() : 0) << outcome.err;
    if (send) EXPECT_NE(outcome.err.find("interrupted"), std::string::npos) << outcome.err;
    EXPECT_EQ(objectsNamed(channel), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(KwToolProcess, KwToolSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGINT ? "Interrupt" : "Terminate";
                         });

TEST(KwToolProcess, NamesThatAreNotUtf8AreRefused) {
  kwtest::ScratchDir scratch;
  const std::string bad = (scratch.path() / "bad\xffname.bin").string();
  const std::string good = (scratch.path() / "g\xc3\xbc.bin").string();
  for (const std::string& file : {bad, good})
    kwtest::writeFile(file, std::string("\1\0\0\0\x08\0\0\0", 8));
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* error;
  };
  const Case cases[] = {
      {{"decode", bad}, 2, "argument 2 is not UTF-8 text"},
      // Two bad channel names would otherwise meet on one channel.
      {{"send", "--seconds", "1", "x\xfe", "A=1"}, 2, "argument 4 is not UTF-8 text"},
      {{"decode", good}, 0, ""}};
  for (const Case& c : cases) {
    Outcome outcome = Tool(c.args).wait();
    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_NE(outcome.err.find(c.error), std::string::npos) << outcome.err;
  }
}

TEST(KwToolProcess, LogReadsATraceFileOfAnySizeInBoundedMemory) {
  kwtest::ScratchDir scratch;
  // Freed memory counts as held while AddressSanitizer keeps it quarantined.
  const char* asan = std::getenv("ASAN_OPTIONS");
  kwtest::ScopedEnv quarantine("ASAN_OPTIONS",
                               std::string(asan ? asan : "") + ":quarantine_size_mb=4");
  auto peak = [&](std::size_t lines) {
    const auto file = scratch.path() / ("KW" + std::to_string(lines) + ".log");
    // Trace lines in UTF-16LE, as the library writes them.
    std::string line;
    for (char c : std::string("12:00:00 1050602 an event of the trace file\r\n")) {
      line += c;
      line += '\0';
    }
    std::string block;
    for (std::size_t i = 0; i < std::min<std::size_t>(lines, 1024); ++i) block += line;
    std::ofstream out(file, std::ios::binary);
    for (std::size_t i = 0; i < lines; i += 1024) out << block;
    out.close();
    Outcome outcome = Tool({"log", file.string()}, "/dev/null").wait(100000);
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.code, 0) << outcome.err;
    return outcome.peakKiB;
  };
  const long small = peak(1);
  // 45 MiB.
  const long large = peak(524288);
  // The whole file in memory, with its text, held some 300 MB more.
  EXPECT_LT(large - small, 16 * 1024)
      << "KiB: " << small << " for one line, " << large << " for 45 MiB";
}

TEST(KwToolProcess, ALoggerThatCannotStartIsAMessageNotAnAbort) {
  kwtest::ChildProcess child("KwToolBrokenLogger", {"encode", "A=1"});
  ASSERT_TRUE(child.started());
  const int code = child.wait();
  if (code == 77) GTEST_SKIP() << "no UTS namespace here: the lock's name cannot be made unique";
  ASSERT_NE(code, 78) << "cannot put a folder in the logger lock's place";
  // 106 would be SIGABRT.
  EXPECT_EQ(code, 0);
}

#endif
