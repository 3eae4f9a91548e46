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
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/ForeignObject.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/TraceCapture.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

#include "support/ScopedEnv.h"
#endif

using namespace std::chrono_literals;

namespace {

int thrownId(const std::function<void()>& action) {
  try {
    action();
  } catch (const kw::SystemException& e) {
    return e.getExceptionID();
  }
  return 0;
}

std::wstring uniqueMutexName() {
  return kw::Tools::createLocalObjectName((L"MutexTest." + kwtest::uniqueName()).c_str());
}

using kwtest::narrow;

// Locks `mutex` on another thread; the future is ready once it holds it,
// and the thread releases it again when told to.
struct Contender {
  explicit Contender(kw::Mutex& mutex)
      : thread([this, &mutex] {
          mutex.lock();
          locked.set_value();
          done.get_future().wait();
          mutex.release();
        }) {}
  ~Contender() {
    finish();
    thread.join();
  }
  bool holdsWithin(std::chrono::milliseconds wait) {
    return lockedFuture.wait_for(wait) == std::future_status::ready;
  }
  void finish() {
    if (!finished.exchange(true)) done.set_value();
  }

  std::promise<void> locked;
  std::future<void> lockedFuture = locked.get_future();
  std::promise<void> done;
  std::atomic<bool> finished{false};
  std::thread thread;
};

}  // namespace

// The error of the failed call itself, not one that building the exception left.
TEST(Mutex, AFailedReleaseCarriesTheSystemErrorOfTheRelease) {
#if defined(_WIN32)
  const int notOwner = ERROR_NOT_OWNER;
#else
  const int notOwner = EPERM;
#endif
  kw::Mutex mutex;
  mutex.initialise(nullptr);
  try {
    mutex.release();
    FAIL() << "released a mutex that nobody held";
  } catch (const kw::SystemException& e) {
    EXPECT_EQ(e.getExceptionID(), kw::SiteId::MutexReleaseFailed);
    const std::wstring description = e.getDescription();
    EXPECT_NE(description.find(L" (" + std::to_wstring(notOwner) + L")"), std::wstring::npos)
        << narrow(description);
  }
}

TEST(Mutex, FailuresAreSystemExceptions) {
  kw::Mutex never;
  EXPECT_EQ(thrownId([&] { never.lock(); }), kw::SiteId::MutexWaitFailed);
  EXPECT_EQ(thrownId([&] { never.release(); }), kw::SiteId::MutexReleaseFailed);

  kw::Mutex mutex;
  mutex.initialise(nullptr);
  mutex.lock();
  int fromOtherThread = 0;
  std::thread([&] { fromOtherThread = thrownId([&] { mutex.release(); }); }).join();
  EXPECT_EQ(fromOtherThread, kw::SiteId::MutexReleaseFailed);
  mutex.release();
}

TEST(Mutex, IsRecursiveAndFreeOnlyAfterTheLastRelease) {
  kw::Mutex mutex;
  mutex.initialise(nullptr);
  mutex.lock();
  mutex.lock();
  Contender other(mutex);
  mutex.release();
  EXPECT_FALSE(other.holdsWithin(200ms)) << "free after one of two releases";
  mutex.release();
  EXPECT_TRUE(other.holdsWithin(30s));
}

// A holder that gives the mutex up and at once asks for it again, as a
// writer polling for a free slot does, must let in the thread that was
// already waiting.
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
      waiterSide.lock();
      gotIt = true;
      waiterSide.release();
    });
#ifdef _WIN32
    std::this_thread::sleep_for(300ms);
#else
    bool blocked = false;
    for (int i = 0; i < 10000 && !blocked; ++i) {
      std::this_thread::sleep_for(1ms);
      blocked = waiterId != 0 && kwtest::threadIsBlocked(waiterId);
    }
    EXPECT_TRUE(blocked) << "the waiter never blocked";
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

TEST(Mutex, ManyObjectsOfOneNameAllOpenAndExclude) {
  const std::wstring name = uniqueMutexName();
  std::vector<std::unique_ptr<kw::Mutex>> mutexes;
  for (int i = 0; i < 300; ++i) {
    mutexes.push_back(std::make_unique<kw::Mutex>());
    ASSERT_EQ(thrownId([&] { mutexes.back()->initialise(name.c_str()); }), 0) << "opener " << i;
  }
  mutexes.back()->lock();
  Contender other(*mutexes.front());
  EXPECT_FALSE(other.holdsWithin(200ms));
  mutexes.back()->release();
  EXPECT_TRUE(other.holdsWithin(30s));
}

TEST(Mutex, TwoObjectsOfOneNameExcludeEachOther) {
  const std::wstring name = uniqueMutexName();
  kw::Mutex first, second;
  first.initialise(name.c_str());
  second.initialise(name.c_str());
  first.lock();
  Contender other(second);
  EXPECT_FALSE(other.holdsWithin(200ms));
  kw::Mutex unrelated;  // another name is another object
  unrelated.initialise(uniqueMutexName().c_str());
  { kw::AutoMutex hold(unrelated); }
  first.release();
  EXPECT_TRUE(other.holdsWithin(30s));
}

namespace {

// The abandonments traced so far, the logger's own lock taken first: it is
// shared with other processes of this application, which a test running in
// parallel may leave abandoned, so that what follows counts one mutex alone.
int abandonedSoFar(const kwtest::TraceCapture& trace) {
  kw::Event before(998, L"before", L".\\src\\MutexTest", 1, L"MutexTest");
  kw::Logger::Trace(before);
  return trace.count(kw::SiteId::MutexAbandoned);
}

}  // namespace

TEST(Mutex, AThreadThatEndsHoldingItLeavesItAbandoned) {
  for (bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    kwtest::TraceCapture trace;
    kw::Mutex mutex;
    mutex.initialise(named ? uniqueMutexName().c_str() : nullptr);
    std::thread([&] { mutex.lock(); }).join();

    const int takenOver = abandonedSoFar(trace);
    mutex.lock();  // takes it over
    EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);
    mutex.release();
    mutex.lock();  // an ordinary lock from now on
    mutex.release();
    EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);
  }
}

KW_CHILD_MAIN(mutexHolder) {
  // args: mutex name, marker file, then "release" (after the go file
  // appears), "exit" (ends holding it) or "hang" (until killed).
  kw::Mutex mutex;
  mutex.initialise(kw::Tools::widenNarrowString(args.at(0)).c_str());
  mutex.lock();
  kwtest::touchFile(args.at(1));
  if (args.at(2) == "release") {
    if (!kwtest::waitForFile(args.at(1) + ".go")) return 3;
    mutex.release();
    return 0;
  }
  if (args.at(2) == "hang") std::this_thread::sleep_for(120s);
  return 0;
}

class MutexAcrossProcesses : public ::testing::Test {
 protected:
  std::string marker() const { return (m_scratch.path() / "locked").string(); }

  // With `holder` holding the mutex, a second process that takes it and
  // exits, leaving `itsMarker`, must wait until the holder is told to go.
  void expectSecondWaitsForHolder(kwtest::ChildProcess& holder, const std::string& itsMarker,
                                  const char* ifNot) {
    kwtest::ChildProcess second("mutexHolder", {narrow(m_name), itsMarker, "exit"});
    EXPECT_FALSE(kwtest::waitForFile(itsMarker, 300)) << ifNot;
    kwtest::touchFile(marker() + ".go");
    EXPECT_TRUE(kwtest::waitForFile(itsMarker));
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
  }

  kwtest::ScratchDir m_scratch;
  const std::wstring m_name = uniqueMutexName();
};

TEST_F(MutexAcrossProcesses, ExcludesAnotherProcess) {
  kw::Mutex mutex;
  mutex.initialise(m_name.c_str());
  kwtest::ChildProcess child("mutexHolder", {narrow(m_name), marker(), "release"});
  ASSERT_TRUE(kwtest::waitForFile(marker()));

  Contender here(mutex);
  EXPECT_FALSE(here.holdsWithin(300ms)) << "both processes hold it";
  kwtest::touchFile(marker() + ".go");
  EXPECT_TRUE(here.holdsWithin(30s));
  here.finish();
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(MutexAcrossProcesses, AHolderThatEndsOrIsKilledLeavesItAbandoned) {
  for (const char* how : {"exit", "hang"}) {
    SCOPED_TRACE(how);
    kwtest::TraceCapture trace;
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    kwtest::ChildProcess child("mutexHolder", {narrow(m_name), marker(), how});
    ASSERT_TRUE(kwtest::waitForFile(marker()));
    if (std::string(how) == "hang") child.kill();
    child.wait();

    const int takenOver = abandonedSoFar(trace);
    mutex.lock();
    EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);
    mutex.release();
    std::filesystem::remove(marker());
  }
}

TEST_F(MutexAcrossProcesses, AKilledLastHolderLeavesNothingThatWedges) {
  {
    kwtest::ChildProcess child("mutexHolder", {narrow(m_name), marker(), "hang"});
    ASSERT_TRUE(kwtest::waitForFile(marker()));
    child.kill();
    child.wait();
  }
  // Nobody had it open any more: a new object, free, as on Windows.
  kwtest::TraceCapture trace;
  kw::Mutex mutex;
  mutex.initialise(m_name.c_str());
  mutex.lock();
  mutex.release();
  EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), 0);
}

KW_CHILD_MAIN(pollingHolder) {
  // args: mutex name, marker file. Holds the mutex through 10 ms waits,
  // taking it again at once after each release (a writer polling for a free
  // slot does so), and counts its rounds in the marker until told to stop.
  kw::Mutex mutex;
  mutex.initialise(kw::Tools::widenNarrowString(args.at(0)).c_str());
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

// The other process's release hands the mutex to this one, which waited
// for it, within a round or two, however soon the holder asks again.
TEST_F(MutexAcrossProcesses, AReleaseHandsItToTheProcessAlreadyWaiting) {
  kwtest::ChildProcess child("pollingHolder", {narrow(m_name), marker()});
  ASSERT_TRUE(kwtest::waitForFile(marker()));
  auto rounds = [&] {
    std::ifstream in(marker());
    int round = 0;
    in >> round;
    return round;
  };
  kw::Mutex mutex;
  mutex.initialise(m_name.c_str());
  for (int sample = 0; sample < 5; ++sample) {
    const int before = rounds();
    mutex.lock();
    const int after = rounds();
    mutex.release();
    EXPECT_LE(after - before, 3) << "the holder took it straight back";
    std::this_thread::sleep_for(3ms);
  }
  kwtest::touchFile(marker() + ".go");
  EXPECT_EQ(child.wait(), 0);
}

#ifndef _WIN32
TEST_F(MutexAcrossProcesses, LinuxObjectIsPrivateAndGoesWithItsLastOpener) {
  const std::string path = kwtest::sharedObjectPath(m_name);
  {
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    kw::Mutex second;
    second.initialise(m_name.c_str());
  }
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0) << "left behind: " << path;
}

// Object names are predictable: an object planted under one by another
// user (or left readable by others) must never be used, whatever its mode.
TEST_F(MutexAcrossProcesses, LinuxRefusesObjectsThatAreNotPrivate) {
  const std::string path = kwtest::sharedObjectPath(m_name);
  struct Plant {
    const char* what;
    bool otherUser;
    unsigned mode;
  };
  for (const Plant& plant : {Plant{"own, others may read and write", false, 0666},
                             Plant{"own, others may read", false, 0640},
                             Plant{"another user's, open to all", true, 0666},
                             Plant{"another user's, private", true, 0600}}) {
    SCOPED_TRACE(plant.what);
    std::string reason;
    if (plant.otherUser) {
      // The own objects were checked above; only this part needs root.
      if (!kwtest::createOwnedByOtherUser(path, plant.mode, reason)) GTEST_SKIP() << reason;
    } else {
      ASSERT_TRUE(kwtest::createWithMode(path, plant.mode)) << path;
    }
    kw::Mutex mutex;
    EXPECT_EQ(thrownId([&] { mutex.initialise(m_name.c_str()); }), kw::SiteId::MutexCreateFailed);
    EXPECT_EQ(thrownId([&] { mutex.lock(); }), kw::SiteId::MutexWaitFailed);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << "the planted object is left alone";
    EXPECT_EQ(st.st_mode & 0777, plant.mode);
    std::filesystem::remove(path);
  }
}

// Names are predictable, and /dev/shm lets every user create names: another
// user who takes a name there first must not keep this user's locks, the
// logger's among them, from working, nor may a name an application passes
// with its own "Local\" land where other users share it.
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

KW_CHILD_MAIN(startLogger) {
  try {
    kw::Logger::initialise(kw::Tools::widenNarrowString(args.at(0)).c_str());
  } catch (const kw::Exception&) {
    return 1;
  }
  kw::Logger::shutDown();
  return 0;
}

namespace {

// A folder of this user's, private as a login manager makes the runtime folder.
std::string privateFolder(const kwtest::ScratchDir& scratch, const char* name, unsigned mode) {
  const std::filesystem::path folder = scratch.path() / name;
  std::filesystem::create_directory(folder);
  chmod(folder.c_str(), mode);
  return folder.string();
}

}  // namespace

// Processes of one user meet in the runtime folder when they all name it,
// and in the fallback when none does or the one named is not private.
TEST_F(MutexAcrossProcesses, LinuxProcessesOfOneUserMeetWhereverTheirObjectsLive) {
  const std::string runtime = privateFolder(m_scratch, "runtime", 0700);
  const std::string leaf =
      kwtest::sharedObjectPath(m_name).substr(kwtest::sharedObjectPath(m_name).rfind('/') + 1);
  const std::string marker2 = marker() + "2";
  {
    kwtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
    kwtest::ChildProcess holder("mutexHolder", {narrow(m_name), marker(), "release"});
    ASSERT_TRUE(kwtest::waitForFile(marker()));
    EXPECT_TRUE(std::filesystem::exists(runtime + "/Kestrelwright/" + leaf));
    EXPECT_FALSE(std::filesystem::exists(kwtest::sharedFolderPath(m_name)));
    expectSecondWaitsForHolder(holder, marker2, "both processes hold it");
  }
  std::filesystem::remove(marker());
  std::filesystem::remove(marker() + ".go");
  std::filesystem::remove(marker2);
  // Open to others, the runtime folder is passed over for the fallback,
  // where a process that names none has its objects.
  const std::string open = privateFolder(m_scratch, "open", 0755);
  kwtest::ChildProcess holder = [&] {
    kwtest::ScopedEnv env("XDG_RUNTIME_DIR", open);
    return kwtest::ChildProcess("mutexHolder", {narrow(m_name), marker(), "release"});
  }();
  ASSERT_TRUE(kwtest::waitForFile(marker()));
  EXPECT_FALSE(std::filesystem::exists(open + "/Kestrelwright"));
  kwtest::ScopedEnv none("XDG_RUNTIME_DIR", "");
  expectSecondWaitsForHolder(holder, marker2, "the processes did not meet");
}

// Every holder killed: the next process of the user to open the folder
// removes what they left.
TEST_F(MutexAcrossProcesses, LinuxObjectsOfKilledProcessesDoNotOutliveThem) {
  const std::string runtime = privateFolder(m_scratch, "runtime", 0700);
  kwtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
  const std::string leaf =
      kwtest::sharedObjectPath(m_name).substr(kwtest::sharedObjectPath(m_name).rfind('/') + 1);
  const std::string left = runtime + "/Kestrelwright/" + leaf;
  {
    kwtest::ChildProcess child("mutexHolder", {narrow(m_name), marker(), "hang"});
    ASSERT_TRUE(kwtest::waitForFile(marker()));
    child.kill();
    child.wait();
  }
  ASSERT_TRUE(std::filesystem::exists(left));
  const std::string other = (m_scratch.path() / "other").string();
  kwtest::ChildProcess next("mutexHolder", {narrow(uniqueMutexName()), other, "exit"});
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
  try {
    mutex.initialise(kw::Tools::widenNarrowString(args.at(1)).c_str());
  } catch (const kw::SystemException& e) {
    std::ofstream(args.at(2)) << narrow(e.getDescription());
    return e.getExceptionID() == kw::SiteId::MutexCreateFailed ? 0 : 3;
  }
  return 4;
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
    mutex.initialise(kw::Tools::widenNarrowString(args.at(0)).c_str());
    mutex.lock();
    kwtest::touchFile(args.at(1));
    mutex.release();
    return 10 + trace.count(kw::SiteId::MutexAbandoned);
  });
}

// A sandbox (Flatpak, a container) runs in a PID namespace of its own: its
// thread IDs mean nothing outside and others' nothing inside. The lock
// excludes, hands over and reports a killed holder across it, both ways.
TEST_F(MutexAcrossProcesses, LinuxWorksAcrossPidNamespaces) {
  {
    SCOPED_TRACE("held inside, wanted outside");
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    kwtest::ChildProcess child("mutexHolderInPidNamespace", {narrow(m_name), marker(), "release"});
    if (!kwtest::waitForFile(marker(), 10000)) {
      child.kill();
      if (child.wait() == kwtest::kNoPidNamespace)
        GTEST_SKIP() << "no new PID namespace here (needs root or user namespaces)";
      FAIL() << "the holder never locked";
    }
    Contender here(mutex);
    EXPECT_FALSE(here.holdsWithin(300ms)) << "both processes hold it";
    kwtest::touchFile(marker() + ".go");
    EXPECT_TRUE(here.holdsWithin(30s));
    here.finish();
    EXPECT_EQ(child.wait(), 0);
    std::filesystem::remove(marker());
    std::filesystem::remove(marker() + ".go");
  }
  {
    SCOPED_TRACE("killed inside");
    kwtest::TraceCapture trace;
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    kwtest::ChildProcess child("mutexHolderInPidNamespace", {narrow(m_name), marker(), "hang"});
    ASSERT_TRUE(kwtest::waitForFile(marker()));
    child.kill();
    child.wait();
    const int takenOver = abandonedSoFar(trace);
    mutex.lock();
    EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);
    mutex.release();
    std::filesystem::remove(marker());
  }
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed outside, wanted inside" : "held outside, wanted inside");
    kw::Mutex mutex;
    mutex.initialise(m_name.c_str());
    const std::string holderMarker = marker() + ".holder";
    kwtest::ChildProcess holder("mutexHolder",
                                {narrow(m_name), holderMarker, killed ? "hang" : "release"});
    ASSERT_TRUE(kwtest::waitForFile(holderMarker));
    kwtest::ChildProcess child("lockInPidNamespace", {narrow(m_name), marker()});
    EXPECT_FALSE(kwtest::waitForFile(marker(), 300)) << "both processes hold it";
    if (killed)
      holder.kill();
    else
      kwtest::touchFile(holderMarker + ".go");
    holder.wait();
    if (!kwtest::waitForFile(marker(), 30000)) child.kill();
    EXPECT_EQ(child.wait(), killed ? 11 : 10) << "10 + the abandonments it found";
    std::filesystem::remove(marker());
    std::filesystem::remove(holderMarker);
    std::filesystem::remove(holderMarker + ".go");
  }
}

KW_CHILD_MAIN(lockOnce) {
  // args: mutex name, marker file.
  kw::Mutex mutex;
  mutex.initialise(kw::Tools::widenNarrowString(args.at(0)).c_str());
  mutex.lock();
  mutex.lock();
  mutex.release();
  mutex.release();
  kwtest::touchFile(args.at(1));
  return 0;
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
    kwtest::ChildProcess child("lockOnce", {narrow(m_name), marker()});
    const bool locked = kwtest::waitForFile(marker(), 20000);
    if (!locked) child.kill();
    EXPECT_TRUE(locked) << "the locker hung";
    EXPECT_EQ(child.wait(), 0);
    std::filesystem::remove(marker());
  }
}
#endif

TEST(ObjectNames, CarryTheSessionDomainAndUser) {
  const std::wstring prefix = kw::Tools::createLocalObjectName(nullptr);
  const std::wstring fixed = L"Local\\Kestrelwright.Kestrelwright.";
  ASSERT_EQ(prefix.compare(0, fixed.size(), fixed), 0) << narrow(prefix);
  EXPECT_EQ(prefix.back(), L'.');
  EXPECT_EQ(prefix.find(L'\\', fixed.size()), std::wstring::npos);

  std::wstring user, domain;
  ASSERT_TRUE(kw::Tools::getUserName(user, domain));
  EXPECT_FALSE(user.empty());
  EXPECT_EQ(prefix, fixed + domain + L"." + user + L".");
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
