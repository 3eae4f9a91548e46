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
#include <chrono>
#include <cstdlib>
#include <cstring>
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
  explicit Tool(const std::vector<std::string>& args, const std::string& outPath = {}) {
    const std::string outFile = outPath.empty() ? (m_scratch.path() / "out").string() : outPath;
    std::vector<std::string> argv{KW_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = ::fork();
    if (m_pid == 0) {
      int in = ::open("/dev/null", O_RDONLY);
      int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = ::open((m_scratch.path() / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> pointers;
      for (std::string& arg : argv) pointers.push_back(&arg[0]);
      pointers.push_back(nullptr);
      ::execv(pointers[0], pointers.data());
      ::_exit(127);
    }
  }
  ~Tool() {
    if (m_pid > 0 && !m_done) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }

  bool started() const { return m_pid > 0; }
  void signal(int number) { ::kill(m_pid, number); }

  // Killed, and reported as not ended, after the time-out.
  Outcome wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    Outcome outcome;
    int status = 0;
    struct rusage usage {};
    const bool ended =
        kwtest::eventually([&] { return ::wait4(m_pid, &status, WNOHANG, &usage) != 0; },
                           static_cast<int>(timeout.count()));
    m_done = true;
    if (!ended) {
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
int objectsNamed(const std::string& part) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(
           "/dev/shm", std::filesystem::directory_options::skip_permission_denied, error)) {
    if (entry.path().filename().string().find(part) != std::string::npos) ++count;
  }
  return count;
}

bool waitForObjects(const std::string& part) {
  return kwtest::eventually([&] { return objectsNamed(part) != 0; }, 20000);
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
  std::printf("%s", outcome.out.c_str());
  if (!outcome.ended) return 79;
  return outcome.signalled ? 100 + outcome.code - 128 : outcome.code;
}

}  // namespace

class KwToolSignal : public ::testing::TestWithParam<int> {
 protected:
  static std::string channel() {
    return "KwToolSig" + kwtest::narrow(kwtest::uniqueName().substr(0, 10));
  }
};

TEST_P(KwToolSignal, SendAndListenEndCleanly) {
  const std::string send = channel();
  Tool sender({"send", "--seconds", "60", send, "A=1"});
  ASSERT_TRUE(sender.started());
  ASSERT_TRUE(waitForObjects(send));
  sender.signal(GetParam());
  Outcome sent = sender.wait();
  ASSERT_TRUE(sent.ended);
  EXPECT_FALSE(sent.signalled);
  EXPECT_EQ(sent.code, 128 + GetParam());
  EXPECT_NE(sent.err.find("interrupted"), std::string::npos) << sent.err;
  EXPECT_EQ(objectsNamed(send), 0);

  const std::string listen = channel();
  Tool listener({"listen", listen});
  ASSERT_TRUE(waitForObjects(listen));
  listener.signal(GetParam());
  Outcome listened = listener.wait();
  ASSERT_TRUE(listened.ended);
  EXPECT_FALSE(listened.signalled);
  EXPECT_EQ(listened.code, 0) << listened.err;
  EXPECT_EQ(objectsNamed(listen), 0);
}

INSTANTIATE_TEST_SUITE_P(KwToolProcess, KwToolSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGINT ? "Interrupt" : "Terminate";
                         });

TEST(KwToolProcess, NamesThatAreNotUtf8AreRefused) {
  kwtest::ScratchDir scratch;
  const std::string file = (scratch.path() / "bad\xffname.bin").string();
  std::ofstream(file, std::ios::binary).write("\x01\0\0\0\x08\0\0\0", 8);
  Tool decode({"decode", file});
  Outcome decoded = decode.wait();
  ASSERT_TRUE(decoded.ended);
  EXPECT_EQ(decoded.code, 2);
  EXPECT_NE(decoded.err.find("argument 2 is not UTF-8 text"), std::string::npos) << decoded.err;

  // Two bad channel names would otherwise meet on one channel.
  Tool send({"send", "--seconds", "1", "x\xfe", "A=1"});
  Outcome sent = send.wait();
  ASSERT_TRUE(sent.ended);
  EXPECT_EQ(sent.code, 2);
  EXPECT_NE(sent.err.find("argument 4 is not UTF-8 text"), std::string::npos) << sent.err;

  // Valid UTF-8 beyond ASCII works.
  const std::string good = (scratch.path() / "g\xc3\xbc.bin").string();
  std::ofstream(good, std::ios::binary).write("\x01\0\0\0\x08\0\0\0", 8);
  Tool decodeGood({"decode", good});
  Outcome fine = decodeGood.wait();
  ASSERT_TRUE(fine.ended);
  EXPECT_EQ(fine.code, 0) << fine.err;
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
    Tool tool({"log", file.string()}, "/dev/null");
    Outcome outcome = tool.wait(std::chrono::seconds(100));
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
