// Tests of CommunicationDevice's queues: the oldest message dropped when full, null pushes, order,
// and waiting for a message.
#include <gtest/gtest.h>
#include <kw/CommunicationDevice.h>
#include <kw/Exception.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Messages that count their lives, so that a leak or a second delete shows.
std::atomic<int> g_alive{0};
std::atomic<int> g_deleted{0};

class CountedMsg : public kw::Msg {
 public:
  explicit CountedMsg(int serial) : m_serial(serial) { ++g_alive; }
  ~CountedMsg() override {
    --g_alive;
    ++g_deleted;
  }
  int serial() const { return m_serial; }

 private:
  int m_serial;
};

// A device whose transport step moves each sent message straight to its
// own in queue, so the queues can be driven without a peer.
class LoopbackDevice : public kw::CommunicationDevice {
 public:
  ~LoopbackDevice() override { terminate(1000); }
  bool canSendMsgs() override { return true; }
  bool canReceiveMsgs() override { return true; }
  CommMechanism getCommType() override { return SharedMemory; }
  void receive(kw::Msg* msg) { pushMessage(msg, m_lstInQ, m_inQLock); }

 protected:
  bool setup() override { return true; }
  bool sendReceiveMsgs() override {
    kw::Msg* msg = popMessage(m_lstOutQ, m_outQLock);
    if (!msg) return false;
    receive(msg);
    return true;
  }
};

int serialOf(kw::Msg* msg) { return static_cast<CountedMsg*>(msg)->serial(); }

// Every message pushed is deleted once, by its taker or with the device.
class CommQueues : public ::testing::Test {
 protected:
  void SetUp() override {
    g_alive = 0;
    g_deleted = 0;
  }
  void TearDown() override { EXPECT_EQ(g_alive, 0); }
};

}  // namespace

TEST_F(CommQueues, AFullQueueDropsItsOldestMessage) {
  {
    LoopbackDevice device;
    for (int i = 1; i <= 1001; ++i) device.pushMessage(new CountedMsg(i));
    EXPECT_EQ(device.getOutQSize(), 1000);
    EXPECT_EQ(g_deleted, 1);
    for (int i = 1; i <= 1001; ++i) device.receive(new CountedMsg(10000 + i));
    EXPECT_EQ(device.getInQSize(), 1000);
    std::unique_ptr<kw::Msg> front(device.popMessage());
    EXPECT_EQ(serialOf(front.get()), 10002);

    // A lower limit does not shrink the queue at once: each push swaps one.
    device.setMaxQSize(10);
    device.pushMessage(new CountedMsg(2000));
    EXPECT_EQ(device.getOutQSize(), 1000);
    // Both queues full at destruction: all of it is deleted, once.
  }
  EXPECT_EQ(g_deleted, 1001 + 1001 + 1);
}

TEST_F(CommQueues, NullPushAndEmptyPop) {
  LoopbackDevice device;
  device.pushMessage(new CountedMsg(1));
  try {
    device.pushMessage(nullptr);
    FAIL() << "no exception";
  } catch (const kw::Exception& e) {
    EXPECT_EQ(e.getExceptionID(), kw::SiteId::NullMessagePushed);
    EXPECT_STREQ(e.getDescription(), L"NULL message was specified");
  }
  EXPECT_EQ(device.getOutQSize(), 1);
  EXPECT_EQ(device.popMessage(), nullptr);

  // A limit of 0 keeps one message rather than taking from an empty queue.
  device.setMaxQSize(0);
  device.pushMessage(new CountedMsg(2));
  device.pushMessage(new CountedMsg(3));
  EXPECT_EQ(device.getOutQSize(), 1);
}

TEST_F(CommQueues, WaitForMessageReturnsWhatArrivesOrNullInTime) {
  LoopbackDevice device;
  EXPECT_EQ(device.waitForMessage(0), nullptr);
  EXPECT_EQ(device.waitForMessage(30), nullptr);

  // A message queued while the caller waits ends the wait.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device.receive(new CountedMsg(7));
  });
  std::unique_ptr<kw::Msg> got(device.waitForMessage(30000));
  late.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(serialOf(got.get()), 7);

  // Messages the worker moves arrive in order, each to one waiter only;
  // those it has not moved yet go with the device.
  ASSERT_TRUE(device.startThread(nullptr));
  for (int i = 0; i < 200; ++i) device.pushMessage(new CountedMsg(i));
  std::atomic<int> taken{0};
  std::vector<int> seen[2];
  std::vector<std::thread> waiters;
  for (auto& list : seen) {
    waiters.emplace_back([&] {
      while (taken < 200) {
        std::unique_ptr<kw::Msg> msg(device.waitForMessage(50));
        if (!msg) continue;
        list.push_back(serialOf(msg.get()));
        ++taken;
      }
    });
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(seen[0].size() + seen[1].size(), 200u);
  for (const auto& list : seen) EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  for (int i = 0; i < 20; ++i) device.pushMessage(new CountedMsg(i));
}

// Two threads hand one message back and forth, each waiting for the other's: a wake-up lost
// between a waiter's last look at the queue and its sleep shows as a wait that runs out.
TEST_F(CommQueues, EveryArrivalWakesItsWaiter) {
  LoopbackDevice ping, pong;
  const int kRounds = 5000;
  std::atomic<int> lost{0};
  std::thread echo([&] {
    for (int i = 0; i < kRounds && lost == 0; ++i) {
      std::unique_ptr<kw::Msg> msg(ping.waitForMessage(5000));
      if (!msg) ++lost;
      pong.receive(msg ? msg.release() : new CountedMsg(i));
    }
  });
  for (int i = 0; i < kRounds && lost == 0; ++i) {
    ping.receive(new CountedMsg(i));
    std::unique_ptr<kw::Msg> msg(pong.waitForMessage(5000));
    if (!msg) ++lost;
  }
  ping.receive(new CountedMsg(-1));  // an echo that is waiting ends at once
  echo.join();
  EXPECT_EQ(lost, 0);
}
