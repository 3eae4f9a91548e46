// Tests of SharedMemCommDevice pairs: either start order, polling and ringing sides together, the
// size limit, bad blocks, killed and crashed peers, and private Linux objects.
#include <gtest/gtest.h>
#include <kw/ByteArray.h>
#include <kw/Msg.h>
#include <kw/SharedMemCommDevice.h>
#include <kw/SiteId.h>
#include <kw/Tools.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/ForeignObject.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/TraceCapture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <new>

// While set, the next allocation through new of this many bytes fails, as
// it would in a process short of memory.
static std::atomic<std::size_t> g_failAllocationOf{0};

void* operator new(std::size_t size) {
  std::size_t failing = g_failAllocationOf.load(std::memory_order_relaxed);
  if (failing != 0 && size == failing && g_failAllocationOf.compare_exchange_strong(failing, 0))
    throw std::bad_alloc();
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#endif

using kw::Msg;
using kw::SharedMemCommDevice;
using kw::SiteId;
using Device = kw::SharedMemCommDevice;

namespace {

using kwtest::eventually;
using kwtest::narrow;

bool waitRunning(Device& device) {
  return eventually([&] { return device.getThreadState() == kw::Thread::Running; });
}

std::unique_ptr<Msg> popWithin(Device& device, int timeoutMs = 10000) {
  return std::unique_ptr<Msg>(device.waitForMessage(static_cast<unsigned int>(timeoutMs)));
}

std::string wire(const Msg& msg) {
  kw::ByteArray bytes;
  msg.toByteArray(bytes);
  return std::string(bytes.getData(), static_cast<std::size_t>(bytes.getSize()));
}

// Attributes are serialised in name order, so equal bytes mean equal type
// and attributes.
bool sameMessage(const Msg& a, const Msg& b) { return wire(a) == wire(b); }

Msg* makeMessage(int serial, int blobSize = 3) {
  auto* msg = new Msg;
  msg->setType(Msg::UPDATE);
  msg->setAttributeValue(L"Serial", serial);
  msg->setAttributeValue(L"Text", L"n\u00e4me \U0001F600 " + std::to_wstring(serial));
  std::string blob(static_cast<std::size_t>(blobSize), '\x5A');
  msg->setAttributeValue(L"Blob", new kw::ByteArray(blob.data(), blobSize));
  return msg;
}

// A message whose wire form is exactly `size` bytes.
Msg* messageOfWireSize(int serial, int size) {
  std::unique_ptr<Msg> probe(makeMessage(serial, 0));
  return makeMessage(serial, size - static_cast<int>(wire(*probe).size()));
}

// Whether a transfer failure was traced carrying the CommsException `id`
// with its description and the refused length as its parameter.
bool tracedRefusal(const kwtest::TraceCapture& capture, int id, const std::wstring& description,
                   const std::wstring& length) {
  const std::wstring caught = L"Type: 2 ID: " + std::to_wstring(id) + L" Desc: " + description +
                              L" (Param 1: " + length + L")";
  for (const auto& record : capture.records())
    if (record.id == SiteId::SharedMemTransferCommsError &&
        record.text.find(caught) != std::wstring::npos)
      return true;
  return false;
}

int serialOf(const Msg& msg) {
  int serial = -1;
  msg.getAttributeValue(L"Serial", serial);
  return serial;
}

void expectNext(Device& reader, int serial) {
  std::unique_ptr<Msg> got = popWithin(reader);
  ASSERT_TRUE(got) << "no message " << serial;
  EXPECT_EQ(serialOf(*got), serial);
}

// A writer and a reader of one name in this process, both started.
struct LocalPair {
  explicit LocalPair(const std::wstring& name)
      : writer(name.c_str(), Device::Writer), reader(name.c_str(), Device::Reader) {
    EXPECT_TRUE(writer.startThread(nullptr) && reader.startThread(nullptr));
  }
  void expectDelivered(int first, int last) {
    for (int i = first; i <= last; ++i) writer.pushMessage(makeMessage(i));
    for (int i = first; i <= last; ++i) expectNext(reader, i);
  }
  Device writer, reader;
};

// Switches the wake path off for the devices set up meanwhile in this
// process, and for the children started meanwhile.
struct PollingOnly {
  PollingOnly() { kwtest::setEnv("KW_TRANSPORT_POLL_ONLY", "1"); }
  ~PollingOnly() { kwtest::setEnv("KW_TRANSPORT_POLL_ONLY", ""); }
};

std::unique_ptr<PollingOnly> pollingIf(bool on) {
  return on ? std::make_unique<PollingOnly>() : nullptr;
}

// The block of a device name, opened without a worker or wake path, for
// writing into it what a broken or hostile peer would.
class RawBlock : public SharedMemCommDevice {
 public:
  explicit RawBlock(const wchar_t* name) : SharedMemCommDevice(name, Reader) {
    PollingOnly polling;
    EXPECT_TRUE(createSharedMem());
  }
  std::uint8_t flag() const {
    return __atomic_load_n(reinterpret_cast<std::uint8_t*>(m_pSharedView), __ATOMIC_ACQUIRE);
  }
  void write(std::int32_t length, const std::string& bytes) {
    m_mutex.lock();
    std::memcpy(m_pSharedView + 8, bytes.data(), bytes.size());
    std::memcpy(m_pSharedView + 4, &length, sizeof length);
    __atomic_store_n(reinterpret_cast<std::uint8_t*>(m_pSharedView), 1, __ATOMIC_RELEASE);
    m_mutex.release();
  }
};

}  // namespace

// Receives on the first name and sends every message back on the second
// until a message without a serial arrives. args: in, out, ready file.
KW_CHILD_MAIN(echoPeer) {
  Device in(kwtest::wide(args.at(0)).c_str(), Device::Reader);
  Device out(kwtest::wide(args.at(1)).c_str(), Device::Writer);
  if (!in.startThread(nullptr) || !out.startThread(nullptr)) return 21;
  if (!waitRunning(in) || !waitRunning(out)) return 22;
  kwtest::touchFile(args.at(2));
  for (;;) {
    std::unique_ptr<Msg> msg = popWithin(in, 60000);
    if (!msg) return 23;
    if (serialOf(*msg) < 0) break;
    out.pushMessage(msg.release());
  }
  // Stay until the last echo has left the out queue and the slot.
  return eventually([&] { return out.getOutQSize() == 0; }) ? 0 : 24;
}

// Sends 1 and 2 with nobody reading, so that the worker waits for the slot;
// then "destroy"s the device, "hang"s or "stay"s as told. args: name, file, mode.
KW_CHILD_MAIN(sender) {
  auto writer = std::make_unique<Device>(kwtest::wide(args.at(0)).c_str(), Device::Writer);
  if (!writer->startThread(nullptr) || !waitRunning(*writer)) return 21;
  writer->pushMessage(makeMessage(1));
  writer->pushMessage(makeMessage(2));
  if (!eventually([&] { return writer->getOutQSize() == 0; })) return 22;
  if (args.at(2) == "stay") return kwtest::waitForFile(args.at(1)) ? 0 : 23;
  if (args.at(2) == "destroy") {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writer.reset();
  }
  kwtest::touchFile(args.at(1));
  if (args.at(2) == "hang") std::this_thread::sleep_for(std::chrono::seconds(60));
  return 0;
}

class SharedMemPair : public ::testing::Test {
 protected:
  std::wstring name(const wchar_t* which) const { return m_base + which; }
  std::string file() { return (m_scratch.path() / std::to_string(++m_files)).string(); }

  std::unique_ptr<kwtest::ChildProcess> startEcho() {
    const std::string ready = file();
    auto child = std::make_unique<kwtest::ChildProcess>(
        "echoPeer", std::vector<std::string>{narrow(name(L"Out")), narrow(name(L"Back")), ready});
    EXPECT_TRUE(kwtest::waitForFile(ready));
    return child;
  }

  // A device of this side on the "Out" name, its worker running.
  std::unique_ptr<Device> started(Device::ReaderWriter role) {
    auto device = std::make_unique<Device>(name(L"Out").c_str(), role);
    EXPECT_TRUE(device->startThread(nullptr) && waitRunning(*device));
    return device;
  }

  std::unique_ptr<kwtest::ChildProcess> startSender(const std::string& done, const char* mode) {
    return std::make_unique<kwtest::ChildProcess>(
        "sender", std::vector<std::string>{narrow(name(L"Out")), done, mode});
  }

  // Sends the serials through the echo and checks what comes back.
  void exchange(Device& writer, Device& reader, int first, int count) {
    std::vector<std::unique_ptr<Msg>> sent;
    for (int i = first; i < first + count; ++i) {
      sent.emplace_back(makeMessage(i, i % 50));
      writer.pushMessage(new Msg(*sent.back()));
    }
    for (const auto& expected : sent) {
      std::unique_ptr<Msg> got = popWithin(reader);
      ASSERT_TRUE(got) << "no echo of " << serialOf(*expected);
      EXPECT_TRUE(sameMessage(*got, *expected)) << serialOf(*got) << " for " << serialOf(*expected);
    }
  }

  // A message without a serial ends the echo.
  void endEcho(Device& writer, kwtest::ChildProcess& echo) {
    auto* last = new Msg;
    last->setType(Msg::ACKNOWLEDGEMENT);
    writer.pushMessage(last);
    EXPECT_EQ(echo.wait(), 0);
  }

  kwtest::ScratchDir m_scratch;
  std::wstring m_base = L"KwTestPair" + kwtest::uniqueName().substr(0, 10);
  // The "Out" name's objects are this plus a suffix.
  std::wstring m_local = kw::Tools::createLocalObjectName(name(L"Out").c_str());
  int m_files = 0;
};

// Whichever side starts first, and whichever of the two only polls, as the
// plain protocol has it, while the other also rings. Bursts fill the slot
// while the peer is slow, so the writers wait.
TEST_F(SharedMemPair, RoundTripWhicheverSideStartsFirstOrOnlyPolls) {
  enum Polls { Neither, ThisSide, Peer };
  for (const auto& [peerFirst, polls] : {std::pair{false, Neither}, std::pair{true, Neither},
                                         std::pair{false, ThisSide}, std::pair{false, Peer}}) {
    SCOPED_TRACE(testing::Message() << "peer first: " << peerFirst << ", polls: " << polls);
    std::unique_ptr<kwtest::ChildProcess> child;
    auto startPeer = [&] {
      auto polling = pollingIf(polls == Peer);
      child = startEcho();
    };
    if (peerFirst) startPeer();
    auto polling = pollingIf(polls == ThisSide);
    Device writer(name(L"Out").c_str(), Device::Writer);
    Device reader(name(L"Back").c_str(), Device::Reader);
    EXPECT_TRUE(writer.canSendMsgs() && !writer.canReceiveMsgs());
    EXPECT_TRUE(reader.canReceiveMsgs() && !reader.canSendMsgs());
    ASSERT_TRUE(writer.startThread(nullptr) && reader.startThread(nullptr));
    ASSERT_TRUE(waitRunning(writer) && waitRunning(reader));
    polling.reset();
    if (!peerFirst) startPeer();
    exchange(writer, reader, 0, 40);
    endEcho(writer, *child);
  }
}

TEST_F(SharedMemPair, TheIpcLimitIsExactAndARefusalLosesNothingElse) {
  kwtest::TraceCapture capture;
  LocalPair pair(name(L"Out"));
  std::unique_ptr<Msg> exact(messageOfWireSize(1, SharedMemCommDevice::kIpcLimit));
  ASSERT_EQ(wire(*exact).size(), 262144u);
  pair.writer.pushMessage(new Msg(*exact));
  pair.writer.pushMessage(messageOfWireSize(2, SharedMemCommDevice::kIpcLimit + 1));
  pair.writer.pushMessage(makeMessage(3));

  std::unique_ptr<Msg> first = popWithin(pair.reader);
  ASSERT_TRUE(first);
  EXPECT_TRUE(sameMessage(*first, *exact));
  expectNext(pair.reader, 3);
  EXPECT_EQ(capture.count(SiteId::SharedMemTransferCommsError), 1);
  EXPECT_TRUE(tracedRefusal(capture, SiteId::SharedMemSendTooLarge, L"Msg bigger than IPC limit: ",
                            L"262145"));
}

TEST_F(SharedMemPair, ABadBlockIsTracedFreedAndSkipped) {
  kwtest::TraceCapture capture;
  RawBlock block(name(L"Out").c_str());
  auto reader = started(Device::Reader);

  // A length beyond the block, then a negative one: refused, slot freed.
  for (std::int32_t length : {SharedMemCommDevice::kIpcLimit + 1, -5}) {
    block.write(length, "");
    EXPECT_TRUE(eventually([&] { return block.flag() == 0; }));
  }
  // Bytes that are no message: traced, slot freed.
  block.write(12, std::string("\x01\x00\x00\x00\xFF\xFF\xFF\x7F\x00\x00\x00\x00", 12));
  EXPECT_TRUE(eventually([&] { return block.flag() == 0; }));
  // The slot is freed before the parse that fails, so the trace may follow a moment later.
  EXPECT_TRUE(eventually([&] { return capture.count(SiteId::SharedMemTransferCommsError) == 3; }))
      << capture.count(SiteId::SharedMemTransferCommsError);
  for (const wchar_t* length : {L"262145", L"-5"})
    EXPECT_TRUE(tracedRefusal(capture, SiteId::SharedMemReceiveTooLarge,
                              L"Msg size exceeds IPC buffer limit: ", length))
        << narrow(length);

  // The reader is not wedged: a good message arrives.
  std::unique_ptr<Msg> good(makeMessage(7));
  std::string bytes = wire(*good);
  block.write(static_cast<std::int32_t>(bytes.size()), bytes);
  std::unique_ptr<Msg> got = popWithin(*reader);
  ASSERT_TRUE(got);
  EXPECT_TRUE(sameMessage(*got, *good));
}

// The lock is left abandoned only when the writer ends inside its wait, where it spends nearly
// all its time; where locking is slow (Wine) the end can fall between two waits, so a few fresh
// pairs are tried.
TEST_F(SharedMemPair, AWriterDestroyedWhileWaitingLeavesTheLockAbandoned) {
  int abandoned = 0;
  for (int attempt = 0; attempt < 3 && abandoned == 0; ++attempt) {
    m_base = L"KwTestPair" + kwtest::uniqueName().substr(0, 10);
    // Holding the block keeps it, and the message in it, alive meanwhile.
    RawBlock block(name(L"Out").c_str());
    const std::string done = file();
    auto child = startSender(done, "destroy");
    EXPECT_TRUE(kwtest::waitForFile(done)) << "the destroyed writer's worker was never stopped";
    ASSERT_EQ(child->wait(), 0);
    ASSERT_EQ(block.flag(), 1);

    kwtest::TraceCapture capture;
    auto reader = started(Device::Reader);
    expectNext(*reader, 1);
    abandoned = capture.count(SiteId::MutexAbandoned);
    EXPECT_LE(abandoned, 1);
    // The second message died with the writer.
    EXPECT_FALSE(popWithin(*reader, 300));
  }
  EXPECT_EQ(abandoned, 1);
}

TEST_F(SharedMemPair, AKilledPeerIsReplacedUnderTheSameName) {
  Device writer(name(L"Out").c_str(), Device::Writer);
  Device reader(name(L"Back").c_str(), Device::Reader);
  ASSERT_TRUE(writer.startThread(nullptr) && reader.startThread(nullptr));
  auto first = startEcho();
  exchange(writer, reader, 0, 10);
  first.reset();  // killed
  auto second = startEcho();
  exchange(writer, reader, 100, 10);
  endEcho(writer, *second);
}

TEST_F(SharedMemPair, ABlockLeftByACrashedPairDeliversNothing) {
  const std::string written = file();
  auto child = startSender(written, "hang");
  ASSERT_TRUE(kwtest::waitForFile(written));
  child.reset();  // killed

  auto reader = started(Device::Reader);
  EXPECT_FALSE(popWithin(*reader, 500));
  // Nor is the slot wedged: a new writer gets through.
  auto writer = started(Device::Writer);
  writer->pushMessage(makeMessage(5));
  expectNext(*reader, 5);
}

#ifndef _WIN32
// Another user who plants a victim's block or lock (the names are
// predictable) must neither read nor forge its messages: the device refuses
// the channel through its setup failure and the process goes on.
TEST_F(SharedMemPair, LinuxRefusesAChannelThatIsNotPrivate) {
  for (bool otherUser : {false, true}) {
    for (const wchar_t* suffix : {L".mem", L".mtx"}) {
      SCOPED_TRACE(narrow(suffix) + (otherUser ? " of another user" : " open to all"));
      const std::string path = kwtest::sharedObjectPath(m_local + suffix);
      std::string reason;
      if (otherUser && !kwtest::createOwnedByOtherUser(path, 0666, reason)) GTEST_SKIP() << reason;
      if (!otherUser) ASSERT_TRUE(kwtest::createWithMode(path, 0666)) << path;
      kwtest::TraceCapture capture;
      {
        Device reader(name(L"Out").c_str(), Device::Reader);
        ASSERT_TRUE(reader.startThread(nullptr));
        EXPECT_TRUE(eventually([&] { return reader.getThreadState() == kw::Thread::Stopped; }));
      }
      EXPECT_EQ(capture.count(SiteId::SharedMemCreateFailed), 1);
      EXPECT_EQ(capture.count(SiteId::ThreadSetupFailed), 1);
      std::filesystem::remove(path);
    }
  }
}

// Running short of memory while a received message is made is reported as
// a failed allocation; the worker goes on.
TEST_F(SharedMemPair, AnAllocationFailingWhileAMessageIsMadeIsReportedAndTheWorkerGoesOn) {
  auto reader = started(Device::Reader);
  kwtest::TraceCapture capture;
  const std::string done = file();
  // The sender is a process of its own and its arguments are made first:
  // only the reader's worker makes a message of that size meanwhile.
  const std::vector<std::string> args{narrow(name(L"Out")), done, "stay"};
  g_failAllocationOf = sizeof(Msg);
  kwtest::ChildProcess writer("sender", args);
  std::unique_ptr<Msg> got = popWithin(*reader);
  g_failAllocationOf = 0;
  kwtest::touchFile(done);
  EXPECT_EQ(writer.wait(), 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(serialOf(*got), 2);
  ASSERT_EQ(capture.count(SiteId::SharedMemTransferCommsError), 1);
  EXPECT_NE(
      capture.records().back().text.find(std::to_wstring(SiteId::SharedMemReceiveAllocFailed)),
      std::wstring::npos);
  EXPECT_EQ(reader->getThreadState(), kw::Thread::Running);
}

// The wake objects follow the same rule; without them the pair polls.
TEST_F(SharedMemPair, LinuxLeavesWakeObjectsThatAreNotPrivateAlone) {
  const std::string path = kwtest::sharedObjectPath(m_local + L".wake");
  ASSERT_TRUE(kwtest::createWithMode(path, 0666)) << path;
  LocalPair(name(L"Out")).expectDelivered(0, 2);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  std::filesystem::remove(path);
}

// Names are predictable, and /dev/shm lets every user create names: a
// channel whose names another user took there first still works.
TEST_F(SharedMemPair, LinuxNamesAnotherUserTookFirstInTheSharedFolderAreNotUsed) {
  std::string reason;
  for (const wchar_t* suffix : {L".mem", L".mtx", L".wake"}) {
    if (!kwtest::createAsOtherUser(kwtest::sharedFolderPath(m_local + suffix), 0600, reason))
      GTEST_SKIP() << reason;
  }
  LocalPair(name(L"Out")).expectDelivered(1, 1);
  for (const wchar_t* suffix : {L".mem", L".mtx", L".wake"})
    std::filesystem::remove(kwtest::sharedFolderPath(m_local + suffix));
}

// A peer that shrinks the objects under a running pair (the block, its lock
// and the wake object): this process must not die of the bus error that an
// access past the new end raises, and the pair goes on.
TEST_F(SharedMemPair, LinuxAPeerThatShrinksTheObjectsDoesNotBringThisProcessDown) {
  LocalPair pair(name(L"Out"));
  pair.expectDelivered(1, 1);
  for (const wchar_t* suffix : {L".mem", L".mtx", L".wake"})
    ASSERT_EQ(truncate(kwtest::sharedObjectPath(m_local + suffix).c_str(), 0), 0) << narrow(suffix);
  pair.expectDelivered(2, 4);
}

// A peer that keeps the guard of the block's object locked, as a hung or
// hostile one of the same user may: opening and closing that name give up
// after a bounded wait instead of hanging.
TEST_F(SharedMemPair, LinuxAPeerHoldingTheObjectGuardHangsNoOpenOrClose) {
  auto reader = started(Device::Reader);
  int guard = open(kwtest::sharedObjectPath(m_local + L".mem").c_str(), O_RDWR);
  struct flock firstByte {};
  firstByte.l_type = F_WRLCK;
  firstByte.l_len = 1;
  ASSERT_EQ(fcntl(guard, F_OFD_SETLK, &firstByte), 0);
  auto letGo = [&] {  // lets a hung open or close end, so that the test can
    close(guard);
    guard = -1;
  };
  kwtest::TraceCapture capture;
  {
    Device writer(name(L"Out").c_str(), Device::Writer);
    ASSERT_TRUE(writer.startThread(nullptr));
    const bool stopped =
        eventually([&] { return writer.getThreadState() == kw::Thread::Stopped; }, 30000);
    if (!stopped) letGo();
    EXPECT_TRUE(stopped) << "the writer's setup hung";
  }
  EXPECT_EQ(capture.count(SiteId::SharedMemCreateFailed), 1);
  auto closing = std::async(std::launch::async, [&] { reader.reset(); });
  const bool closed = closing.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  letGo();
  EXPECT_TRUE(closed) << "closing the reader hung";
}
#endif
