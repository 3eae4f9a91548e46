// CommunicationDevice: the threaded send and receive queues every message transport builds on.
#pragma once

#include <kw/Mutex.h>
#include <kw/Platform.h>
#include <kw/Thread.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace kw {

class Msg;

// A threaded message transport: the application pushes messages to send
// and pops received ones; the worker moves them with the subclass's
// transport step. Queued messages belong to the device.
class KW_API CommunicationDevice : public Thread {
 public:
  // The kind of transport a device is.
  enum CommMechanism : int { SharedMemory = 1 };

  // Throws the SystemException of a queue lock that cannot be made.
  CommunicationDevice();
  // Copies would share the locks and the queued messages.
  CommunicationDevice(const CommunicationDevice&) = delete;
  CommunicationDevice& operator=(const CommunicationDevice&) = delete;
  // Deletes every message still queued. A subclass stops the worker first.
  ~CommunicationDevice() override;

  // The oldest received message, now the caller's; null when none waits.
  virtual Msg* popMessage();
  // As popMessage, but waits up to timeoutMs (INFINITE: no limit) for a
  // message to arrive when none waits: an application thread receives
  // without polling, as soon as the worker has queued the message. Null when
  // none arrived in time. Any number of threads may wait; each message goes
  // to one of them.
  Msg* waitForMessage(unsigned int timeoutMs);
  // Takes the message over; a full out queue drops its oldest message.
  // Throws Exception SiteId::NullMessagePushed for null.
  virtual void pushMessage(Msg* msg);
  // Whether this end sends.
  virtual bool canSendMsgs() = 0;
  // Whether this end receives.
  virtual bool canReceiveMsgs() = 0;
  // The device's transport.
  virtual CommMechanism getCommType() = 0;

  // The number of received messages waiting to be popped.
  int getInQSize();
  // The number of messages waiting to be sent.
  int getOutQSize();
  // Applies to each queue from its next push on; 0 is taken as 1.
  void setMaxQSize(unsigned int size);

 protected:
  // A message queue; the device owns what it holds.
  using Queue = std::deque<Msg*>;

  // The polling loop: transport steps back to back while they do work,
  // 100 ms of idling when they do not.
  int execute(void* param) override;
  // Nothing to clean up after the loop.
  void cleanUp() override {}
  // One transport step: true when a message was sent or received.
  virtual bool sendReceiveMsgs() { return false; }
  // The worker's pause when a step found nothing to do: sleep(ms) here. A
  // transport that is told of new work may return as soon as there is some.
  virtual void waitForWork(int ms);

  // Appends to `q` under `lock`, dropping the oldest message of a full queue;
  // a message pushed into the in queue wakes the threads in waitForMessage.
  void pushMessage(Msg* msg, Queue& q, Mutex& lock);
  // Takes the oldest message of `q` under `lock`; null when empty.
  Msg* popMessage(Queue& q, Mutex& lock);
  // The caller holds the queue's lock.
  void cleanQ(Queue& q);

  // Received messages, oldest first.
  Queue m_lstInQ;
  // Messages to send, oldest first.
  Queue m_lstOutQ;
  // Guards m_lstInQ.
  Mutex m_inQLock;
  // Guards m_lstOutQ.
  Mutex m_outQLock;
  // The most messages a queue holds (1000 unless set).
  unsigned int m_nMaxQSize;

 private:
  int queueSize(Queue& q, Mutex& lock);

  // Counts the messages put into the in queue, for waitForMessage.
  std::mutex m_arrivalLock;
  std::condition_variable m_arrival;
  unsigned long m_nArrivals = 0;
};

}  // namespace kw
