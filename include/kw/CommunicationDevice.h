#pragma once

#include <kw/Mutex.h>
#include <kw/Platform.h>
#include <kw/Thread.h>

#include <deque>

namespace kw {

class Msg;

// A threaded message transport: the application pushes messages to send
// and pops received ones; the worker moves them with the subclass's
// transport step. Queued messages belong to the device.
class KW_API CommunicationDevice : public Thread {
 public:
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
  // Takes the message over; a full out queue drops its oldest message.
  // Throws Exception 1050201 for null.
  virtual void pushMessage(Msg* msg);
  virtual bool canSendMsgs() = 0;
  virtual bool canReceiveMsgs() = 0;
  virtual CommMechanism getCommType() = 0;

  int getInQSize();
  int getOutQSize();
  // Applies to each queue from its next push on; 0 is taken as 1.
  void setMaxQSize(unsigned int size);

 protected:
  using Queue = std::deque<Msg*>;

  // The polling loop: transport steps back to back while they do work,
  // 100 ms of idling when they do not.
  int execute(void* param) override;
  void cleanUp() override {}
  // One transport step: true when a message was sent or received.
  virtual bool sendReceiveMsgs() { return false; }

  void pushMessage(Msg* msg, Queue& q, Mutex& lock);
  Msg* popMessage(Queue& q, Mutex& lock);
  // The caller holds the queue's lock.
  void cleanQ(Queue& q);

  Queue m_inQ;
  Queue m_outQ;
  Mutex m_inQLock;
  Mutex m_outQLock;
  unsigned int m_nMaxQSize;

 private:
  int queueSize(Queue& q, Mutex& lock);
};

}  // namespace kw
