// CommunicationDevice: the bounded in and out queues, their locks, the wait for an arriving
// message, and the worker loop that calls the subclass's transport step.
#include <kw/AutoMutex.h>
#include <kw/CommunicationDevice.h>
#include <kw/Exception.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>

#include "Site.h"
#include "os/WakePath.h"

namespace kw {

namespace {

constexpr wchar_t kFile[] = L".\\src\\CommunicationDevice";

// The arrival word, kept in the arrival counter's storage (the class layout is part of the
// interface): it counts queued messages in steps of two, and its low bit says that a thread may
// sleep on it, so that a message queued while nobody waits costs no system call. Unlike a
// condition variable's, a wake here takes no lock again.
using ArrivalWord = std::atomic<std::uint32_t>;
constexpr std::uint32_t kSleeper = 1;
constexpr std::uint32_t kArrival = 2;
static_assert(sizeof(ArrivalWord) <= sizeof(unsigned long) &&
                  alignof(ArrivalWord) <= alignof(unsigned long),
              "the arrival word fits the counter's storage");

ArrivalWord& arrivalWord(unsigned long& storage) {
  return *std::launder(reinterpret_cast<ArrivalWord*>(&storage));
}

}  // namespace

CommunicationDevice::CommunicationDevice() : m_nMaxQSize(1000) {
  new (&m_nArrivals) ArrivalWord(0);
  m_inQLock.initialise(nullptr);
  m_outQLock.initialise(nullptr);
}

CommunicationDevice::~CommunicationDevice() {
  try {
    AutoMutex in(m_inQLock);
    cleanQ(m_lstInQ);
  } catch (const Exception&) {
  }
  try {
    AutoMutex out(m_outQLock);
    cleanQ(m_lstOutQ);
  } catch (const Exception&) {
  }
}

Msg* CommunicationDevice::popMessage() { return popMessage(m_lstInQ, m_inQLock); }

void CommunicationDevice::pushMessage(Msg* msg) { pushMessage(msg, m_lstOutQ, m_outQLock); }

Msg* CommunicationDevice::waitForMessage(unsigned int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  ArrivalWord& arrivals = arrivalWord(m_nArrivals);
  const bool forever = timeoutMs == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Read before the look, so that an arrival after it changes the word.
    std::uint32_t seen = arrivals.load();
    if (Msg* msg = popMessage(m_lstInQ, m_inQLock)) return msg;
    unsigned long waitMs = INFINITE;
    if (!forever) {
      const Clock::duration left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return nullptr;
      waitMs =
          static_cast<unsigned long>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    // Marked only if nothing arrived since the look; else look again.
    if ((seen & kSleeper) == 0 && !arrivals.compare_exchange_strong(seen, seen | kSleeper))
      continue;
    os::wordWait(arrivals, seen | kSleeper, waitMs);
  }
}

int CommunicationDevice::getInQSize() { return queueSize(m_lstInQ, m_inQLock); }

int CommunicationDevice::getOutQSize() { return queueSize(m_lstOutQ, m_outQLock); }

void CommunicationDevice::setMaxQSize(unsigned int size) { m_nMaxQSize = size; }

int CommunicationDevice::execute(void*) {
  for (;;) {
    while (sendReceiveMsgs()) terminateIfRequested();
    waitForWork(100);
  }
}

void CommunicationDevice::waitForWork(int ms) { sleep(ms); }

void CommunicationDevice::pushMessage(Msg* msg, Queue& q, Mutex& lock) {
  if (!msg) {
    Site(kFile, L"CommunicationDevice::pushMessage")
        .throwException(SiteId::NullMessagePushed, L"NULL message was specified", 170);
  }
  {
    AutoMutex guard(lock);
    // The limit is read once: another thread may change it meanwhile. A
    // limit of 0 would take from an empty queue, so it counts as 1.
    const unsigned int limit = m_nMaxQSize == 0 ? 1 : m_nMaxQSize;
    if (q.size() >= limit) {
      delete q.front();
      q.pop_front();
    }
    q.push_back(msg);
  }
  if (&q == &m_lstInQ) {
    ArrivalWord& arrivals = arrivalWord(m_nArrivals);
    std::uint32_t seen = arrivals.load();
    while (!arrivals.compare_exchange_weak(seen, (seen + kArrival) & ~kSleeper)) {
    }
    if (seen & kSleeper) os::wordWakeAll(arrivals);
  }
}

Msg* CommunicationDevice::popMessage(Queue& q, Mutex& lock) {
  AutoMutex guard(lock);
  if (q.empty()) return nullptr;
  Msg* msg = q.front();
  q.pop_front();
  return msg;
}

void CommunicationDevice::cleanQ(Queue& q) {
  while (!q.empty()) {
    delete q.front();
    q.pop_front();
  }
}

int CommunicationDevice::queueSize(Queue& q, Mutex& lock) {
  AutoMutex guard(lock);
  return static_cast<int>(q.size());
}

}  // namespace kw
