// The bells and marks beside a shared-memory block: what a ring leaves behind, who it wakes,
// and whether each side sees the other take part.
#include <gtest/gtest.h>
#include <kw/Tools.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "os/WakePath.h"
#include "support/Eventually.h"
#include "support/ForeignObject.h"
#include "support/SettingsArea.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#endif

using namespace kw::os;

namespace {

// One side's wake path, closed with the object.
class WakeEnd {
 public:
  WakeEnd(const std::wstring& name, WakeSide side) : m_handle(wakePathOpen(name.c_str(), side)) {}
  ~WakeEnd() { wakePathClose(m_handle); }
  WakeEnd(const WakeEnd&) = delete;
  WakeEnd& operator=(const WakeEnd&) = delete;
  operator WakePathHandle() const { return m_handle; }

 private:
  WakePathHandle m_handle;
};

std::wstring channelName() {
  return kw::Tools::createLocalObjectName((L"KwTestWake" + kwtest::uniqueName()).c_str());
}

// A lost wake-up shows as a wait that runs out; no correct run comes near it.
constexpr unsigned long kNeverMs = 30000;

class WakePath : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(reader && writer); }

  const std::wstring name = channelName();
  WakeEnd reader{name, WakeReader};
  WakeEnd writer{name, WakeWriter};
};

}  // namespace

TEST_F(WakePath, ARingWaitsForItsSideAndIsTakenOnce) {
  EXPECT_FALSE(wakePathWait(reader, 0));
  // Rung twice before it waits: one wait returns at once, the next does not.
  wakePathRing(writer, WakeReader);
  wakePathRing(reader, WakeReader);
  EXPECT_TRUE(wakePathWait(reader, 0));
  EXPECT_FALSE(wakePathWait(reader, 0));
  // Each side has its own bell.
  wakePathRing(reader, WakeWriter);
  EXPECT_FALSE(wakePathWait(reader, 0));
  EXPECT_TRUE(wakePathWait(writer, 0));
}

// Two threads ring each other back and forth, each sleeping between rings.
TEST_F(WakePath, NoRingIsLostOnASideThatSleeps) {
  constexpr int kRounds = 2000;
  std::atomic<int> missed{0};
  std::thread peer([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (!wakePathWait(writer, kNeverMs)) ++missed;
      wakePathRing(writer, WakeReader);
    }
  });
  int answered = 0;
  for (int i = 0; i < kRounds; ++i) {
    wakePathRing(reader, WakeWriter);
    if (wakePathWait(reader, kNeverMs)) ++answered;
  }
  peer.join();
  EXPECT_EQ(answered, kRounds);
  EXPECT_EQ(missed, 0);

  // A side already asleep when the ring comes wakes too.
  std::atomic<bool> woke{false};
  std::thread sleeper([&] { woke = wakePathWait(writer, kNeverMs); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  wakePathRing(reader, WakeWriter);
  sleeper.join();
  EXPECT_TRUE(woke);
}

TEST_F(WakePath, AReaderRingsAWriterThatAwaitsIt) {
  wakePathAwaitPeer(writer, true);
  wakePathRingPeerIfAwaited(reader);
  EXPECT_TRUE(wakePathWait(writer, 0));
  wakePathAwaitPeer(writer, false);
  wakePathRingPeerIfAwaited(reader);
#ifndef _WIN32
  // Nobody waits for the slot: the writer is left undisturbed.
  EXPECT_FALSE(wakePathWait(writer, 0));
#endif
}

TEST_F(WakePath, EachSideSeesWhetherTheOtherTakesPart) {
  EXPECT_TRUE(wakePathPeerTakesPart(reader));
  EXPECT_TRUE(wakePathPeerTakesPart(writer));
  const std::wstring alone = channelName();
  WakeEnd single(alone, WakeReader);
  EXPECT_FALSE(wakePathPeerTakesPart(single));
  { WakeEnd leaving(alone, WakeWriter); }
  EXPECT_FALSE(wakePathPeerTakesPart(single)) << "after the writer closed";
}

#ifndef _WIN32
// A peer of the same user may write anything into the wake object: a side
// waiting on a bell that holds no value of ours still sleeps.
TEST_F(WakePath, ABellHoldingGarbageIsSleptOnNotSpunOn) {
  // The reader's bell is the first word after the object's 64-byte header.
  const int fd = open(kwtest::sharedObjectPath(name + L".wake").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const std::uint32_t garbage = 0xDEADBEEF;
  ASSERT_EQ(pwrite(fd, &garbage, sizeof garbage, 64), static_cast<ssize_t>(sizeof garbage));
  close(fd);

  std::atomic<long> waiter{0};
  std::thread sleeper([&] {
    waiter = kwtest::currentThreadId();
    wakePathWait(reader, kNeverMs);
  });
  EXPECT_TRUE(kwtest::eventually([&] { return waiter && kwtest::threadIsBlocked(waiter); }))
      << "the waiting side spun";
  wakePathRing(writer, WakeReader);
  sleeper.join();
}
#endif
