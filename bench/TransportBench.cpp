// Two processes exchanging messages through device pairs, next to a bare shared-memory
// ping-pong between the same two processes, and the CPU time that idle devices burn.
//
// The devices poll: an idle worker sleeps 100 ms between looks, a writer whose slot is still
// full looks again every 10 ms. A lone message therefore waits for the writer's next look and
// then the reader's (each about 50 ms on average, 100 ms at worst), and a burst moves about one
// message per reader period, since the reader finds the slot empty right after each take.
#include <kw/Msg.h>
#include <kw/Mutex.h>
#include <kw/SharedMemCommDevice.h>
#include <kw/Tools.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using kw::Msg;
using kw::SharedMemCommDevice;

namespace {

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
  std::printf("%-44s mean %9.3f ms  median %9.3f  p95 %9.3f  worst %9.3f\n", what, s.mean, s.median,
              s.p95, s.worst);
}

// The baseline: one word in a shared page, each side spinning (yielding) until it is its turn.
Stats barePingPong(int rounds) {
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

Msg* message(int sequence, int payloadBytes) {
  Msg* msg = new Msg;
  msg->setType(Msg::SYSTEM_STATE_CHANGE);
  msg->setAttributeValue(L"Sequence", sequence);
  msg->setAttributeValue(L"Text", std::wstring(static_cast<std::size_t>(payloadBytes / 2), L'x'));
  return msg;
}

// The next received message, polling the in queue as an application would.
std::unique_ptr<Msg> await(SharedMemCommDevice& reader) {
  for (;;) {
    if (Msg* msg = reader.popMessage()) return std::unique_ptr<Msg>(msg);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// The peer: echoes `count` messages from <name>.ab back on <name>.ba.
void echoPeer(const std::wstring& name, int count) {
  SharedMemCommDevice in((name + L".ab").c_str(), SharedMemCommDevice::Reader);
  SharedMemCommDevice out((name + L".ba").c_str(), SharedMemCommDevice::Writer);
  in.startThread(nullptr);
  out.startThread(nullptr);
  for (int i = 0; i < count; ++i) out.pushMessage(await(in).release());
  // Let the last echo leave before the writer is stopped.
  while (out.getOutQSize() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

void devicePair(const std::wstring& name, int rounds, int burst) {
  pid_t peer = fork();
  if (peer == 0) {
    echoPeer(name, rounds + burst);
    _exit(0);
  }
  SharedMemCommDevice out((name + L".ab").c_str(), SharedMemCommDevice::Writer);
  SharedMemCommDevice in((name + L".ba").c_str(), SharedMemCommDevice::Reader);
  out.startThread(nullptr);
  in.startThread(nullptr);

  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    out.pushMessage(message(i, 64));
    await(in);
    samples.push_back(ms(Clock::now() - start));
  }
  report("device pair, round trip of a 64-byte message", summarise(samples));

  const auto start = Clock::now();
  for (int i = 0; i < burst; ++i) out.pushMessage(message(i, 1024));
  for (int i = 0; i < burst; ++i) await(in);
  const double seconds = ms(Clock::now() - start) / 1e3;
  std::printf("%-44s %9.1f messages/s one way (%d echoed in %.2f s)\n",
              "device pair, burst of 1 KiB messages", burst / seconds, burst, seconds);
  waitpid(peer, nullptr, 0);
}

// A writer that finds the slot full holds the block lock through a 10 ms wait, releases it and
// takes it again at once. How long does a reader that wants the lock meanwhile wait for it?
// Handed over on release, at most one wait (10 ms); taken straight back, many.
void lockHandoff(const std::wstring& name, int samples) {
  const std::wstring lockName = kw::Tools::createLocalObjectName((name + L".handoff").c_str());
  auto* stop = static_cast<std::atomic<int>*>(
      mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  new (stop) std::atomic<int>(0);
  pid_t writer = fork();
  if (writer == 0) {
    kw::Mutex lock;
    lock.initialise(lockName.c_str());
    while (stop->load() == 0) {
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
  stop->store(1);
  waitpid(writer, nullptr, 0);
  munmap(stop, 4096);
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
  std::printf("%-44s %9.2f ms CPU in %d s (baseline, a sleeping process: %.2f ms)\n",
              "idle reader + writer", idle, seconds, base);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
  const int burst = argc > 2 ? std::atoi(argv[2]) : 50;
  const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 10;
  const std::wstring name = L"kwbench." + std::to_wstring(getpid());

  report("bare shared-memory ping-pong (baseline)", barePingPong(10000));
  lockHandoff(name, 100);
  devicePair(name, rounds, burst);
  idleCpu(name, idleSeconds);
  std::printf(
      "protocol prediction: round trip ~200 ms (four looks of ~50 ms), a burst one message per "
      "100 ms reader period and hop (~5 messages/s when each is echoed), idle: 10 wake-ups/s "
      "per device\n");
  return 0;
}
