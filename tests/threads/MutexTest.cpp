// Tests of Mutex: failures, recursion, hand-over to a waiter, abandoned holders in threads and
// processes, private Linux objects, and session-local object names.
#include <gtest/gtest.h>
#include <kw/AutoMutex.h>
#include <kw/Event.h>
#include <kw/Logger.h>
#include <kw/Mutex.h>
#include <kw/SiteId.h>
#include <kw/SystemException.h>
#include <kw/Tools.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/ForeignObject.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/TraceCapture.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "support/ScopedEnv.h"
#endif

using namespace std::chrono_literals;

namespace {

using kwtest::narrow;

// The ID of the SystemException the action throws (0 for none), its description in `text`.
int thrownId(const std::function<void()>& action, std::wstring* text = nullptr) {
  try {
    action();
  } catch (const kw::SystemException& e) {
    if (text) *text = e.getDescription();
    return e.getExceptionID();
  }
  return 0;
}

std::wstring uniqueMutexName() {
  return kw::Tools::createLocalObjectName((L"MutexTest." + kwtest::uniqueName()).c_str());
}

// Takes the mutex on a thread of its own, once, and lets it go again.
struct Contender {
  explicit Contender(kw::Mutex& mutex)
      : thread([&] {
          kw::AutoMutex hold(mutex);
          got = true;
        }) {}
  ~Contender() { thread.join(); }
  bool gotItWithin(int ms) {
    return kwtest::eventually([&] { return got.load(); }, ms);
  }

  std::atomic<bool> got{false};
  std::thread thread;
};

// The logger's own lock is taken first: other processes of this application
// share it and may leave it abandoned, which must not count here.
void expectTakenOverOnce(kw::Mutex& mutex, const kwtest::TraceCapture& trace) {
  kw::Event before(998, L"before", L".\\src\\MutexTest", 1, L"MutexTest");
  kw::Logger::Trace(before);
  const int takenOver = trace.count(kw::SiteId::MutexAbandoned);
  for (int i = 0; i < 2; ++i) {  // the second lock is an ordinary one
    mutex.lock();
    mutex.release();
  }
  EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);
}

}  // namespace

TEST(Mutex, FailuresAreSystemExceptionsWithTheirOwnSystemError) {
#if defined(_WIN32)
  const int notOwner = ERROR_NOT_OWNER;
#else
  const int notOwner = EPERM;
#endif
  kw::Mutex never;
  EXPECT_EQ(thrownId([&] { never.lock(); }), kw::SiteId::MutexWaitFailed);
  EXPECT_EQ(thrownId([&] { never.release(); }), kw::SiteId::MutexReleaseFailed);

  kw::Mutex mutex;
  mutex.initialise(nullptr);
  std::wstring text;
  EXPECT_EQ(thrownId([&] { mutex.release(); }, &text), kw::SiteId::MutexReleaseFailed);
  EXPECT_NE(text.find(L" (" + std::to_wstring(notOwner) + L")"), std::wstring::npos)
      << narrow(text);
  mutex.lock();
  int fromOtherThread = 0;
  std::thread([&] { fromOtherThread = thrownId([&] { mutex.release(); }); }).join();
  EXPECT_EQ(fromOtherThread, kw::SiteId::MutexReleaseFailed);
  mutex.release();
}

// A holder that gives the mutex up and at once asks for it again, as a
// writer polling for a free slot does, must let the waiting thread in.
TEST(Mutex, AReleasedMutexGoesToTheThreadAlreadyWaiting) {
  for (bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    const std::wstring name = uniqueMutexName();
    kw::Mutex holder, other;
    holder.initialise(named ? name.c_str() : nullptr);
    other.initialise(name.c_str());
    kw::Mutex& waiterSide = named ? other : holder;
    holder.lock();
    std::atomic<long> waiterId{0};
    std::atomic<bool> gotIt{false};
    std::thread waiter([&] {
#ifndef _WIN32
      waiterId = kwtest::currentThreadId();
#endif
      kw::AutoMutex hold(waiterSide);
      gotIt = true;
    });
#ifdef _WIN32
    std::this_thread::sleep_for(300ms);
#else
    EXPECT_TRUE(kwtest::eventually([&] { return waiterId && kwtest::threadIsBlocked(waiterId); }))
        << "the waiter never blocked";
#endif
    for (int round = 0; round < 3 && !gotIt; ++round) {
      holder.release();
      holder.lock();
    }
    EXPECT_TRUE(gotIt) << "the releaser took it straight back";
    holder.release();
    waiter.join();
  }
}

// Every object opened under one name is the same mutex, free only after its
// holder's last release; another name is another mutex.
TEST(Mutex, ManyObjectsOfOneNameAllOpenAndExclude) {
  const std::wstring name = uniqueMutexName();
  std::vector<std::unique_ptr<kw::Mutex>> mutexes;
  for (int i = 0; i < 300; ++i) {
    mutexes.push_back(std::make_unique<kw::Mutex>());
    ASSERT_EQ(thrownId([&] { mutexes.back()->initialise(name.c_str()); }), 0) << "opener " << i;
  }
  mutexes.back()->lock();
  mutexes.back()->lock();
  Contender other(*mutexes.front());
  mutexes.back()->release();
  EXPECT_FALSE(other.gotItWithin(200)) << "free after one of two releases";
  kw::Mutex unrelated;
  unrelated.initialise(uniqueMutexName().c_str());
  { kw::AutoMutex hold(unrelated); }
  mutexes.back()->release();
  EXPECT_TRUE(other.gotItWithin(30000));
}

KW_CHILD_MAIN(mutexHolder) {
  // args: mutex name, marker file, then "release" (after the go file
  // appears), "exit" (ends holding it) or "hang" (until killed).
  kw::Mutex mutex;
  mutex.initialise(kwtest::wide(args.at(0)).c_str());
  mutex.lock();
  { kw::AutoMutex again(mutex); }
  kwtest::touchFile(args.at(1));
  if (args.at(2) == "release") {
    if (!kwtest::waitForFile(args.at(1) + ".go")) return 3;
    mutex.release();
  }
  if (args.at(2) == "hang") std::this_thread::sleep_for(120s);
  return 0;
}

class MutexAcrossProcesses : public ::testing::Test {
 protected:
  // A new file for a child to leave.
  std::string marker() { return (m_scratch.path() / std::to_string(++m_markers)).string(); }

  // A child that holds the mutex as `routine` (args as mutexHolder's), once it does.
  std::unique_ptr<kwtest::ChildProcess> holder(const std::string& mark, const char* how,
                                               const char* routine = "mutexHolder") {
    auto child = std::make_unique<kwtest::ChildProcess>(
        routine, std::vector<std::string>{narrow(m_name), mark, how});
    EXPECT_TRUE(kwtest::waitForFile(mark)) << "the holder never locked";
    return child;
  }

  void killHolder(const char* routine = "mutexHolder") {
    holder(marker(), "hang", routine)->kill();
  }

  // With a "release" holder that left `mark` holding it, a second process
  // must wait until the holder lets it go.
  void expectSecondWaits(kwtest::ChildProcess& first, const std::string& mark, const char* ifNot) {
    const std::string itsMark = marker();
    kwtest::ChildProcess second("mutexHolder", {narrow(m_name), itsMark, "exit"});
    EXPECT_FALSE(kwtest::waitForFile(itsMark, 300)) << ifNot;
    kwtest::touchFile(mark + ".go");
    EXPECT_TRUE(kwtest::waitForFile(itsMark));
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
  }

  kwtest::ScratchDir m_scratch;
  const std::wstring m_name = uniqueMutexName();
  int m_markers = 0;
};

TEST_F(MutexAcrossProcesses, ExcludesAnotherProcess) {
  kw::Mutex mutex;
  mutex.initialise(m_name.c_str());
  const std::string mark = marker();
  expectSecondWaits(*holder(mark, "release"), mark, "both processes hold it");
}

// A thread or process that ends or is killed holding it leaves it abandoned.
TEST_F(MutexAcrossProcesses, AHolderThatEndsOrIsKilledLeavesItAbandoned) {
  for (const std::string how : {"unnamed, thread", "thread", "exit", "hang"}) {
    SCOPED_TRACE(how);
    kwtest::TraceCapture trace;
    kw::Mutex mutex;
    mutex.initialise(how == "unnamed, thread" ? nullptr : m_name.c_str());
    if (how.find("thread") != std::string::npos) {
      std::thread([&] { mutex.lock(); }).join();
    } else {
      auto child = holder(marker(), how.c_str());
      if (how == "hang") child->kill();
      child->wait();
    }
    expectTakenOverOnce(mutex, trace);
  }
}

TEST_F(MutexAcrossProcesses, AKilledLastHolderLeavesNothingThatWedges) {
  killHolder();
  // Nobody had it open any more: a new object, free, as on Windows.
  kwtest::TraceCapture trace;
  kw::Mutex mutex;
  mutex.initialise(m_name.c_str());
  { kw::AutoMutex hold(mutex); }
  EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), 0);
}

KW_CHILD_MAIN(pollingHolder) {
  // args: mutex name, marker file. Holds the mutex 10 ms at a time, taking it
  // again at once as a polling writer does; counts its rounds in the marker.
  kw::Mutex mutex;
  mutex.initialise(kwtest::wide(args.at(0)).c_str());
  for (int round = 1; !std::filesystem::exists(args.at(1) + ".go"); ++round) {
    mutex.lock();
    std::this_thread::sleep_for(10ms);
    mutex.release();
    std::ofstream(args.at(1) + ".tmp") << round;
    // Windows refuses while the test reads the marker: the next round writes it.
    std::error_code refused;
    std::filesystem::rename(args.at(1) + ".tmp", args.at(1), refused);
  }
  return 0;
}

// Between processes the hand-over is the named object's own: however soon the
// holder asks again, its release lets in the process already waiting.
TEST_F(MutexAcrossProcesses, AReleaseHandsItToTheProcessAlreadyWaiting) {
  const std::string mark = marker();
  kwtest::ChildProcess child("pollingHolder", {narrow(m_name), mark});
  ASSERT_TRUE(kwtest::waitForFile(mark));
  kw::Mutex mutex;
  mutex.initialise(m_name.c_str());
  // A busy machine may hold this process up between a read and the lock
  // once; a holder that takes it straight back does so every time.
  int late = 0;
  for (int sample = 0; sample < 5; ++sample) {
    const int before = std::atoi(kwtest::readFile(mark).c_str());
    mutex.lock();
    const int after = std::atoi(kwtest::readFile(mark).c_str());
    mutex.release();
    late += after - before > 3;
    std::this_thread::sleep_for(3ms);
  }
  EXPECT_LE(late, 1) << "the holder took it straight back";
  kwtest::touchFile(mark + ".go");
  EXPECT_EQ(child.wait(), 0);
}

#ifndef _WIN32
TEST_F(MutexAcrossProcesses, LinuxObjectIsPrivateAndGoesWithItsLastOpener) {
  const std::string path = kwtest::sharedObjectPath(m_name);
  struct stat st {};
  {
    kw::Mutex mutex, second;
    mutex.initialise(m_name.c_str());
    second.initialise(m_name.c_str());
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_NE(stat(path.c_str(), &st), 0) << "left behind: " << path;
}

// Object names are predictable: an object planted under one by another
// user (or left readable by others) must never be used, whatever its mode.
TEST_F(MutexAcrossProcesses, LinuxRefusesObjectsThatAreNotPrivate) {
  const std::string path = kwtest::sharedObjectPath(m_name);
  for (const auto& [otherUser, mode] : {std::pair{false, 0666u}, std::pair{false, 0640u},
                                        std::pair{true, 0666u}, std::pair{true, 0600u}}) {
    SCOPED_TRACE(testing::Message()
                 << (otherUser ? "another user's, mode " : "own, mode ") << std::oct << mode);
    std::string reason;
    // The own objects come first; only another user's need root.
    if (otherUser && !kwtest::createOwnedByOtherUser(path, mode, reason)) GTEST_SKIP() << reason;
    if (!otherUser) ASSERT_TRUE(kwtest::createWithMode(path, mode)) << path;
    kw::Mutex mutex;
    EXPECT_EQ(thrownId([&] { mutex.initialise(m_name.c_str()); }), kw::SiteId::MutexCreateFailed);
    EXPECT_EQ(thrownId([&] { mutex.lock(); }), kw::SiteId::MutexWaitFailed);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << "the planted object is left alone";
    EXPECT_EQ(st.st_mode & 0777, mode);
    std::filesystem::remove(path);
  }
}

KW_CHILD_MAIN(startLogger) {
  try {
    kw::Logger::initialise(kwtest::wide(args.at(0)).c_str());
  } catch (const kw::Exception&) {
    return 1;
  }
  kw::Logger::shutDown();
  return 0;
}

// Names are predictable and /dev/shm open to all: a name another user took
// there first stops no lock of this user's, the logger's neither, and an
// application's own "Local\" name does not land there.
TEST_F(MutexAcrossProcesses, LinuxNamesAnotherUserTookFirstInTheSharedFolderAreNotUsed) {
  const std::wstring logLock = kw::Tools::createLocalObjectName(L"kwtestsquat.log.mtx");
  const std::wstring ownLocal = L"Local\\MutexTest." + kwtest::uniqueName() + L".lock";
  std::string reason;
  for (const std::wstring* name : {&m_name, &logLock, &ownLocal}) {
    std::filesystem::remove(kwtest::sharedFolderPath(*name));
    if (!kwtest::createAsOtherUser(kwtest::sharedFolderPath(*name), 0600, reason))
      GTEST_SKIP() << reason;
  }
  kw::Mutex mutex, own;
  EXPECT_EQ(thrownId([&] { mutex.initialise(m_name.c_str()); }), 0);
  EXPECT_EQ(thrownId([&] { own.initialise(ownLocal.c_str()); }), 0);
  EXPECT_EQ(thrownId([&] { kw::AutoMutex hold(mutex), holdOwn(own); }), 0);
  EXPECT_TRUE(std::filesystem::exists(kwtest::sharedObjectPath(ownLocal)));
  kwtest::ChildProcess logger("startLogger", {"kwtestsquat"});
  EXPECT_EQ(logger.wait(), 0) << "Logger::initialise failed";
  for (const std::wstring* name : {&m_name, &logLock, &ownLocal})
    std::filesystem::remove(kwtest::sharedFolderPath(*name));
}

namespace {

// A folder of this user's with that mode; 0700 as a login manager makes the runtime folder.
std::string folder(const kwtest::ScratchDir& scratch, const char* name, unsigned mode) {
  const std::filesystem::path path = scratch.path() / name;
  std::filesystem::create_directory(path);
  chmod(path.c_str(), mode);
  return path.string();
}

std::string leafName(const std::wstring& name) {
  return std::filesystem::path(kwtest::sharedObjectPath(name)).filename().string();
}

}  // namespace

// Processes of one user meet in the runtime folder when they all name it,
// and in the fallback when none does or the one named is not private.
TEST_F(MutexAcrossProcesses, LinuxProcessesOfOneUserMeetWhereverTheirObjectsLive) {
  const std::string runtime = folder(m_scratch, "runtime", 0700);
  {
    kwtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
    const std::string mark = marker();
    auto first = holder(mark, "release");
    EXPECT_TRUE(std::filesystem::exists(runtime + "/Kestrelwright/" + leafName(m_name)));
    EXPECT_FALSE(std::filesystem::exists(kwtest::sharedFolderPath(m_name)));
    expectSecondWaits(*first, mark, "both processes hold it");
  }
  const std::string open = folder(m_scratch, "open", 0755);
  const std::string mark = marker();
  std::unique_ptr<kwtest::ChildProcess> first;
  {
    kwtest::ScopedEnv env("XDG_RUNTIME_DIR", open);
    first = holder(mark, "release");
  }
  EXPECT_FALSE(std::filesystem::exists(open + "/Kestrelwright"));
  kwtest::ScopedEnv none("XDG_RUNTIME_DIR", "");
  expectSecondWaits(*first, mark, "the processes did not meet");
}

// Every holder killed: the next process of the user to open the folder
// removes what they left.
TEST_F(MutexAcrossProcesses, LinuxObjectsOfKilledProcessesDoNotOutliveThem) {
  const std::string runtime = folder(m_scratch, "runtime", 0700);
  kwtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
  const std::string left = runtime + "/Kestrelwright/" + leafName(m_name);
  killHolder();
  ASSERT_TRUE(std::filesystem::exists(left));
  kwtest::ChildProcess next("mutexHolder", {narrow(uniqueMutexName()), marker(), "exit"});
  EXPECT_EQ(next.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(left));
}

KW_CHILD_MAIN(lockAsUser) {
  // args: uid, mutex name, file for the error text. No runtime folder:
  // the fallback, which another user took first.
  unsetenv("XDG_RUNTIME_DIR");
  const uid_t uid = static_cast<uid_t>(std::stoul(args.at(0)));
  if (setgid(uid) != 0 || setuid(uid) != 0) return 2;
  kw::Mutex mutex;
  std::wstring text;
  const int id = thrownId([&] { mutex.initialise(kwtest::wide(args.at(1)).c_str()); }, &text);
  std::ofstream(args.at(2)) << narrow(text);
  return id == kw::SiteId::MutexCreateFailed ? 0 : 3;
}

TEST_F(MutexAcrossProcesses, LinuxAFallbackFolderAnotherUserTookIsNamedInTheError) {
  const std::string uid = "54321";  // a user with no session and no entry of its own
  const std::string fallback = "/dev/shm/Kestrelwright-" + uid;
  std::filesystem::remove_all(fallback);
  std::string reason;
  if (!kwtest::createAsOtherUser(fallback, 0777, reason, true)) GTEST_SKIP() << reason;
  const std::string text = (m_scratch.path() / "error").string();
  chmod(m_scratch.path().c_str(), 0777);
  kwtest::ChildProcess child("lockAsUser", {uid, narrow(m_name), text});
  EXPECT_EQ(child.wait(), 0);
  const std::string description = kwtest::readFile(text);
  EXPECT_NE(description.find(fallback), std::string::npos) << description;
  EXPECT_NE(description.find("nobody"), std::string::npos) << description;
  std::filesystem::remove_all(fallback);
}

KW_CHILD_MAIN(mutexHolderInPidNamespace) {
  return kwtest::inNewPidNamespace([&] { return mutexHolder_child(args); });
}

KW_CHILD_MAIN(lockInPidNamespace) {
  // args: mutex name, marker file. Locks (once the holder lets it), marks,
  // and tells by its exit code how often it found the mutex abandoned.
  return kwtest::inNewPidNamespace([&] {
    kwtest::TraceCapture trace;
    kw::Mutex mutex;
    mutex.initialise(kwtest::wide(args.at(0)).c_str());
    { kw::AutoMutex hold(mutex); }
    kwtest::touchFile(args.at(1));
    return 10 + trace.count(kw::SiteId::MutexAbandoned);
  });
}

// A sandbox (Flatpak, a container) runs in a PID namespace of its own: its
// thread IDs mean nothing outside and others' nothing inside. The lock
// excludes, hands over and reports a killed holder across it, both ways.
TEST_F(MutexAcrossProcesses, LinuxWorksAcrossPidNamespaces) {
  const std::string mark = marker();
  kwtest::ChildProcess inside("mutexHolderInPidNamespace", {narrow(m_name), mark, "release"});
  if (!kwtest::waitForFile(mark, 10000)) {
    inside.kill();
    if (inside.wait() == kwtest::kNoPidNamespace)
      GTEST_SKIP() << "no new PID namespace here (needs root or user namespaces)";
    FAIL() << "the holder never locked";
  }
  expectSecondWaits(inside, mark, "held inside, wanted outside: both hold it");
  {
    SCOPED_TRACE("killed inside");
    kwtest::TraceCapture trace;
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    killHolder("mutexHolderInPidNamespace");
    expectTakenOverOnce(mutex, trace);
  }
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed outside, wanted inside" : "held outside, wanted inside");
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    const std::string holderMark = marker(), lockedMark = marker();
    auto outside = holder(holderMark, killed ? "hang" : "release");
    kwtest::ChildProcess child("lockInPidNamespace", {narrow(m_name), lockedMark});
    EXPECT_FALSE(kwtest::waitForFile(lockedMark, 300)) << "both processes hold it";
    if (killed)
      outside->kill();
    else
      kwtest::touchFile(holderMark + ".go");
    outside->wait();
    if (!kwtest::waitForFile(lockedMark)) child.kill();
    EXPECT_EQ(child.wait(), killed ? 11 : 10) << "10 + the abandonments it found";
  }
}

// A process of the same user may write anything into the object, a thread
// ID nobody has among it: a locker acquires, takes over, or fails, but
// never aborts or waits for ever.
TEST_F(MutexAcrossProcesses, LinuxAnyValueInTheObjectLeavesLockersWorking) {
  for (unsigned char byte : {0xFF, 0x01, 0x7F, 0x40}) {
    SCOPED_TRACE(static_cast<int>(byte));
    kw::Mutex keeper;  // keeps the object, and what is written into it
    keeper.initialise(m_name.c_str());
    ASSERT_TRUE(kwtest::overwriteObject(m_name, byte));
    const std::string mark = marker();
    auto locker = holder(mark, "release");  // killed should it hang
    kwtest::touchFile(mark + ".go");
    EXPECT_EQ(locker->wait(), 0);
  }
}
#endif

TEST(ObjectNames, CarryTheSessionDomainAndUser) {
  std::wstring user, domain;
  ASSERT_TRUE(kw::Tools::getUserName(user, domain));
  EXPECT_FALSE(user.empty());
  const std::wstring prefix = L"Local\\Kestrelwright.Kestrelwright." + domain + L"." + user + L".";
  EXPECT_EQ(kw::Tools::createLocalObjectName(nullptr), prefix);
  EXPECT_EQ(kw::Tools::createLocalObjectName(L"Kestrelwright.log.mtx"),
            prefix + L"Kestrelwright.log.mtx");
}

struct UserNameProbe : kw::Tools {
  using Tools::parseUserName;
};

TEST(ObjectNames, UserNamesSplitAtEitherSlash) {
  kwtest::TraceCapture trace;
  struct Case {
    const wchar_t* name;
    bool result;
    const wchar_t* user;
    const wchar_t* domain;
    std::vector<int> events;
  };
  const Case cases[] = {
      {L"CORP\\alice", true, L"alice", L"CORP", {}},
      {L"CORP/alice", true, L"alice", L"CORP", {}},
      {L"alice", true, L"alice", L"", {kw::SiteId::UserNameWithoutDomain}},
      {L"CORP\\alice\\x", true, L"alice", L"CORP", {kw::SiteId::UserNameExtraParts}},
      {L"\\/\\", false, L"", L"", {kw::SiteId::UserNameEmpty}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(narrow(c.name));
    trace.clear();
    std::wstring user = L"old", domain = L"old";
    EXPECT_EQ(UserNameProbe::parseUserName(c.name, user, domain), c.result);
    EXPECT_EQ(user, c.user);
    EXPECT_EQ(domain, c.domain);
    EXPECT_EQ(trace.ids(), c.events);
  }
  ASSERT_EQ(trace.records().size(), 1u);
  EXPECT_NE(trace.records()[0].text.find(L"UserName:\\/\\"), std::wstring::npos)
      << narrow(trace.records()[0].text);
}
