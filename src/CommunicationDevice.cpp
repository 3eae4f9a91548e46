// CommunicationDevice: the bounded in and out queues, their locks, the wait for an arriving
// message, and the worker loop that calls the subclass's transport step.
#include <kw/AutoMutex.h>
#include <kw/CommunicationDevice.h>
#include <kw/Exception.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <chrono>

#include "Site.h"

namespace kw {

namespace {

constexpr wchar_t kFile[] = L".\\src\\CommunicationDevice";

}  // namespace

CommunicationDevice::CommunicationDevice() : m_nMaxQSize(1000) {
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
  const bool forever = timeoutMs == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Counted before the look, so that an arrival after it is not missed.
    unsigned long seen;
    {
      std::lock_guard<std::mutex> guard(m_arrivalLock);
      seen = m_nArrivals;
    }
    if (Msg* msg = popMessage(m_lstInQ, m_inQLock)) return msg;
    std::unique_lock<std::mutex> guard(m_arrivalLock);
    auto arrived = [&] { return m_nArrivals != seen; };
    if (forever)
      m_arrival.wait(guard, arrived);
    else if (!m_arrival.wait_until(guard, deadline, arrived))
      return nullptr;
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
    {
      std::lock_guard<std::mutex> guard(m_arrivalLock);
      ++m_nArrivals;
    }
    m_arrival.notify_all();
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
