// Two processes exchanging messages through shared-memory device pairs, next to Boost.Interprocess
// message_queue between the same two processes, a bare spinning slot (the limit), bare futex
// hand-overs between sleeping threads (the limit of threads that sleep between messages), the
// wait of a reader for a lock that a writer polls under, and the CPU time that idle devices burn.
//
// Both sides of a device pair ring each other (a filled slot wakes the reader, a freed slot a
// writer waiting for it, a push an idle writer's worker), spin briefly for each other while
// messages stream, and the application waits with waitForMessage. With
// KW_TRANSPORT_POLL_ONLY=1 in the environment the devices only poll, as the plain protocol has it.
#include <kw/ByteArray.h>
#include <kw/Msg.h>
#include <kw/Mutex.h>
#include <kw/SharedMemCommDevice.h>
#include <kw/Tools.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/interprocess/ipc/message_queue.hpp>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using kw::Msg;
using kw::SharedMemCommDevice;
namespace bip = boost::interprocess;

namespace {

constexpr int kRoundTripBytes = 166;
constexpr int kSmallBytes = 40;
constexpr unsigned kWaitMs = 30000;
// One burst swings with how the threads happen to be scheduled: the rate is the median of these.
constexpr int kBursts = 7;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
         usage.ru_stime.tv_usec / 1e3;
}

struct Stats {
  double mean, median, p95, worst;
};

Stats summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (double s : samples) sum += s;
  const std::size_t n = samples.size();
  return {sum / n, samples[n / 2], samples[std::min(n - 1, n * 95 / 100)], samples.back()};
}

void report(const char* what, const Stats& s) {
  std::printf("%-46s mean %9.3f ms  median %9.3f  p95 %9.3f  worst %9.3f\n", what, s.mean, s.median,
              s.p95, s.worst);
}

// Flags shared with the forked peer.
struct Shared {
  std::atomic<int> ready;
  std::atomic<int> go;
};

Shared* sharedFlags() {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return new (page) Shared{{0}, {0}};
}

void waitFor(const std::atomic<int>& flag, int value) {
  while (flag.load() < value) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// The limit of a round trip: one word in a shared page that both sides spin on (yielding the
// CPU between looks, so that two processes on one core still make progress).
Stats bareSpinningSlot(int rounds) {
  auto* turn = static_cast<std::atomic<int>*>(
      mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  new (turn) std::atomic<int>(0);
  pid_t peer = fork();
  if (peer == 0) {
    for (int i = 0; i < rounds; ++i) {
      while (turn->load(std::memory_order_acquire) != 1) sched_yield();
      turn->store(0, std::memory_order_release);
    }
    _exit(0);
  }
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    turn->store(1, std::memory_order_release);
    while (turn->load(std::memory_order_acquire) != 0) sched_yield();
    samples.push_back(ms(Clock::now() - start));
  }
  waitpid(peer, nullptr, 0);
  munmap(turn, 4096);
  return summarise(samples);
}

// A token passed from thread to thread, each asleep on a futex word of its own until its turn
// (0 idle, 1 its turn, 2 asleep), the handing thread waking it only when it sleeps: the least a
// hand-over between threads that sleep between messages costs. `layout` names each thread's
// process in ring order, 'P' this one, 'C' the forked peer; thread 0 is this process's main
// thread, which starts and times each round. A hand-over within one process uses the cheaper
// private futex, as the devices do.
struct alignas(64) Turn {
  std::atomic<std::uint32_t> word;
  bool local;
};

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, nullptr, nullptr,
                 0);
}

void awaitTurn(Turn& turn) {
  for (;;) {
    std::uint32_t seen = turn.word.load();
    if (seen == 1) {
      turn.word.store(0);
      return;
    }
    if (seen == 0 && !turn.word.compare_exchange_strong(seen, 2)) continue;
    futex(turn.word, turn.local ? FUTEX_WAIT_PRIVATE : FUTEX_WAIT, 2);
  }
}

void handTurn(Turn& turn) {
  if (turn.word.exchange(1) == 2)
    futex(turn.word, turn.local ? FUTEX_WAKE_PRIVATE : FUTEX_WAKE, INT_MAX);
}

Stats futexRing(const std::string& layout, int rounds) {
  const int hops = static_cast<int>(layout.size());
  const std::size_t bytes = sizeof(Turn) * hops;
  auto* turns = static_cast<Turn*>(
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  for (int i = 0; i < hops; ++i)
    new (&turns[i]) Turn{{0}, layout[i] == layout[(i + hops - 1) % hops]};
  auto pass = [&](int i) {
    for (int r = 0; r < rounds; ++r) {
      awaitTurn(turns[i]);
      handTurn(turns[(i + 1) % hops]);
    }
  };
  auto startThreads = [&](char process) {
    std::vector<std::thread> threads;
    for (int i = 1; i < hops; ++i)
      if (layout[i] == process) threads.emplace_back(pass, i);
    return threads;
  };
  pid_t peer = fork();
  if (peer == 0) {
    for (auto& thread : startThreads('C')) thread.join();
    _exit(0);
  }
  std::vector<std::thread> threads = startThreads('P');
  std::vector<double> samples;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    handTurn(turns[1]);
    awaitTurn(turns[0]);
    samples.push_back(ms(Clock::now() - start));
  }
  for (auto& thread : threads) thread.join();
  waitpid(peer, nullptr, 0);
  munmap(turns, bytes);
  return summarise(samples);
}

int wireSize(const Msg& msg) {
  kw::ByteArray bytes;
  msg.toByteArray(bytes);
  return bytes.getSize();
}

// A message whose wire form is `bytes` long (to within one byte).
Msg* message(int sequence, int bytes) {
  Msg* msg = new Msg;
  msg->setType(Msg::SYSTEM_STATE_CHANGE);
  msg->setAttributeValue(L"Sequence", sequence);
  msg->setAttributeValue(L"Text", L"");
  const int text = std::max(0, (bytes - wireSize(*msg)) / 2);
  msg->setAttributeValue(L"Text", std::wstring(static_cast<std::size_t>(text), L'x'));
  return msg;
}

// Round trips through two device pairs, then one-way bursts; the peer echoes the round trips.
struct DeviceFigures {
  Stats roundTrip;
  double oneWayRate;
};

DeviceFigures devicePairs(const std::wstring& name, int rounds, int burst) {
  Shared* flags = sharedFlags();
  pid_t peer = fork();
  if (peer == 0) {
    SharedMemCommDevice in((name + L".ab").c_str(), SharedMemCommDevice::Reader);
    SharedMemCommDevice out((name + L".ba").c_str(), SharedMemCommDevice::Writer);
    SharedMemCommDevice burstOut((name + L".burst").c_str(), SharedMemCommDevice::Writer);
    in.startThread(nullptr);
    out.startThread(nullptr);
    burstOut.startThread(nullptr);
    flags->ready.fetch_add(1);
    for (int i = 0; i < rounds; ++i) {
      Msg* msg = in.waitForMessage(kWaitMs);
      if (!msg) _exit(1);
      out.pushMessage(msg);
    }
    for (int b = 1; b <= kBursts; ++b) {
      waitFor(flags->go, b);
      for (int i = 0; i < burst; ++i) burstOut.pushMessage(message(i, kSmallBytes));
    }
    waitFor(flags->go, kBursts + 1);
    _exit(0);
  }
  SharedMemCommDevice out((name + L".ab").c_str(), SharedMemCommDevice::Writer);
  SharedMemCommDevice in((name + L".ba").c_str(), SharedMemCommDevice::Reader);
  SharedMemCommDevice burstIn((name + L".burst").c_str(), SharedMemCommDevice::Reader);
  out.startThread(nullptr);
  in.startThread(nullptr);
  burstIn.startThread(nullptr);
  waitFor(flags->ready, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::unique_ptr<Msg> probe(message(0, kRoundTripBytes));
  std::printf("round-trip message: %d bytes on the wire\n", wireSize(*probe));
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    out.pushMessage(message(i, kRoundTripBytes));
    std::unique_ptr<Msg> echo(in.waitForMessage(kWaitMs));
    samples.push_back(ms(Clock::now() - start));
    if (!echo) std::printf("lost round trip %d\n", i);
  }

  std::vector<double> rates;
  for (int b = 1; b <= kBursts; ++b) {
    const auto start = Clock::now();
    flags->go.store(b);
    int received = 0;
    while (received < burst) {
      std::unique_ptr<Msg> msg(burstIn.waitForMessage(kWaitMs));
      if (!msg) break;
      ++received;
    }
    rates.push_back(received / (ms(Clock::now() - start) / 1e3));
    if (received < burst) {
      std::printf("burst: only %d of %d arrived\n", received, burst);
      break;
    }
  }
  flags->go.store(kBursts + 1);
  waitpid(peer, nullptr, 0);
  return {summarise(samples), summarise(rates).median};
}

// The same through two Boost message queues (and one for the burst).
DeviceFigures messageQueues(const std::string& name, int rounds, int burst) {
  const std::string ab = name + ".ab", ba = name + ".ba", one = name + ".burst";
  for (const auto& queue : {ab, ba, one}) bip::message_queue::remove(queue.c_str());
  bip::message_queue there(bip::create_only, ab.c_str(), 16, 512);
  bip::message_queue back(bip::create_only, ba.c_str(), 16, 512);
  bip::message_queue burstQueue(bip::create_only, one.c_str(), 16, 512);
  Shared* flags = sharedFlags();
  pid_t peer = fork();
  if (peer == 0) {
    bip::message_queue in(bip::open_only, ab.c_str());
    bip::message_queue out(bip::open_only, ba.c_str());
    bip::message_queue burstOut(bip::open_only, one.c_str());
    char buffer[512];
    bip::message_queue::size_type size = 0;
    unsigned priority = 0;
    for (int i = 0; i < rounds; ++i) {
      in.receive(buffer, sizeof buffer, size, priority);
      out.send(buffer, size, 0);
    }
    for (int b = 1; b <= kBursts; ++b) {
      waitFor(flags->go, b);
      for (int i = 0; i < burst; ++i) burstOut.send(buffer, kSmallBytes, 0);
    }
    _exit(0);
  }
  char message[512] = {};
  char reply[512];
  bip::message_queue::size_type size = 0;
  unsigned priority = 0;
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    there.send(message, kRoundTripBytes, 0);
    back.receive(reply, sizeof reply, size, priority);
    samples.push_back(ms(Clock::now() - start));
  }
  std::vector<double> rates;
  for (int b = 1; b <= kBursts; ++b) {
    const auto start = Clock::now();
    flags->go.store(b);
    for (int i = 0; i < burst; ++i) burstQueue.receive(reply, sizeof reply, size, priority);
    rates.push_back(burst / (ms(Clock::now() - start) / 1e3));
  }
  waitpid(peer, nullptr, 0);
  for (const auto& queue : {ab, ba, one}) bip::message_queue::remove(queue.c_str());
  return {summarise(samples), summarise(rates).median};
}

// A writer that finds the slot full holds the block lock through a 10 ms wait, releases it and
// takes it again at once (a peer that only polls does so). How long does a reader that wants the
// lock meanwhile wait for it? Handed over on release, at most one wait (10 ms); taken straight
// back, many.
void lockHandoff(const std::wstring& name, int samples) {
  const std::wstring lockName = kw::Tools::createLocalObjectName((name + L".handoff").c_str());
  Shared* flags = sharedFlags();
  pid_t writer = fork();
  if (writer == 0) {
    kw::Mutex lock;
    lock.initialise(lockName.c_str());
    while (flags->go.load() == 0) {
      lock.lock();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lock.release();
    }
    _exit(0);
  }
  kw::Mutex lock;
  lock.initialise(lockName.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<double> waits;
  for (int i = 0; i < samples; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + (i * 7919) % 9000));
    const auto start = Clock::now();
    lock.lock();
    waits.push_back(ms(Clock::now() - start));
    lock.release();
  }
  flags->go.store(1);
  waitpid(writer, nullptr, 0);
  report("reader's wait for a lock a writer polls under", summarise(waits));
}

void idleCpu(const std::wstring& name, int seconds) {
  const double baseStart = cpuMs();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double base = cpuMs() - baseStart;

  SharedMemCommDevice reader((name + L".idle").c_str(), SharedMemCommDevice::Reader);
  SharedMemCommDevice writer((name + L".idle").c_str(), SharedMemCommDevice::Writer);
  reader.startThread(nullptr);
  writer.startThread(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double start = cpuMs();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double idle = cpuMs() - start;
  std::printf("%-46s %9.2f ms CPU in %d s (baseline, a sleeping process: %.2f ms)\n",
              "idle reader + writer", idle, seconds, base);
}

void ratio(const char* row, double kw, double peer, const char* unit, bool lowerIsBetter,
           const char* goal, const char* result) {
  const double factor = lowerIsBetter ? kw / peer : peer / kw;
  std::printf("RATIO\t%s\t%.1f %s\t%.1f %s\t%.2fx\t%s\t%s\n", row, kw, unit, peer, unit, factor,
              goal, result);
}

const char* verdict(bool met) { return met ? "ok" : "MISS"; }

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int burst = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 10;
  const std::wstring name = L"kwbench." + std::to_wstring(getpid());

  const Stats bare = bareSpinningSlot(10000);
  report("bare spinning slot, round trip (the limit)", bare);
  // Two hand-overs a round trip, as between the two processes' threads that send and receive
  // (message_queue's); six as through device pairs: application, its writer's worker, the peer's
  // reader's worker, the peer's application, its writer's worker, our reader's worker.
  const Stats pingPong = futexRing("PC", 10000);
  report("bare futex ping-pong, round trip (2 hand-overs)", pingPong);
  const Stats ring = futexRing("PPCCCP", 10000);
  report("bare futex ring, round trip (6 hand-overs)", ring);
  lockHandoff(name, 100);
  const DeviceFigures kw = devicePairs(name, rounds, burst);
  const DeviceFigures mq = messageQueues("kwbench.mq." + std::to_string(getpid()), rounds, burst);
  report("device pairs, round trip", kw.roundTrip);
  report("Boost message_queue, round trip", mq.roundTrip);
  std::printf("%-46s %9.0f messages/s one way (median of %d bursts of %d)\n",
              "device pair, burst of small messages", kw.oneWayRate, kBursts, burst);
  std::printf("%-46s %9.0f messages/s one way (median of %d bursts of %d)\n",
              "Boost message_queue, burst", mq.oneWayRate, kBursts, burst);
  idleCpu(name, idleSeconds);

  const double kwRoundTripUs = kw.roundTrip.median * 1e3;
  const double mqRoundTripUs = mq.roundTrip.median * 1e3;
  ratio("transport round trip, 166-byte message (median), vs message_queue", kwRoundTripUs,
        mqRoundTripUs, "us", true, "<= 0.25x", verdict(kwRoundTripUs <= 0.25 * mqRoundTripUs));
  ratio("transport round trip (median), vs bare spinning slot", kwRoundTripUs, bare.median * 1e3,
        "us", true, "the limit", "-");
  ratio("transport round trip (median), vs bare futex ring of six threads", kwRoundTripUs,
        ring.median * 1e3, "us", true, "the limit asleep", "-");
  // A one-message slot hands each message over twice (filled, freed), as one ping-pong round.
  ratio("transport one way (rate), vs bare futex ping-pong's rounds per second", kw.oneWayRate,
        1e3 / pingPong.median, "msg/s", false, "the limit asleep", "-");
  ratio("transport one way, 1000 small messages", kw.oneWayRate, mq.oneWayRate, "msg/s", false,
        "<= 1x (hold)", verdict(kw.oneWayRate >= mq.oneWayRate));
  return 0;
}
