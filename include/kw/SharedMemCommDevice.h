// SharedMemCommDevice: a one-way message transport between two processes through shared memory.
#pragma once

#include <kw/CommunicationDevice.h>
#include <kw/Mutex.h>

#include <atomic>
#include <string>

namespace kw {

namespace os {
struct SharedMemoryObject;
struct WakePathObject;
}  // namespace os

// Carries messages one way between two processes of a session through a
// named shared block that holds one message at a time. Both processes
// open the same name, one as Writer and one as Reader; the other direction
// needs a second pair under another name.
//
// Beside the block, each side opens wake objects of its own (found by the
// same name) unless KW_TRANSPORT_POLL_ONLY=1 is set in its environment: a
// writer then rings the reader as it fills the slot, a reader rings a
// writer waiting for the slot as it frees it, and a push rings an idle
// writer's worker, so that messages move at the speed of a wake-up; while
// messages stream, each side spins briefly for the other before sleeping
// (never on one CPU, and less the more often it is in vain). A side whose
// peer does not take part keeps to the polling protocol alone: idle turns
// every 100 ms, a full slot retried every 10 ms with the block lock held.
class KW_API SharedMemCommDevice : public CommunicationDevice {
 public:
  // Which end of the block this device is.
  enum ReaderWriter : int { Reader = 0, Writer = 1 };

  // The shared block's size: a flag byte, three reserved bytes, the 4-byte
  // length and room for a message of kIpcLimit bytes.
  static constexpr int kBlockSize = 0x40008;
  // The largest serialised message the block carries.
  static constexpr int kIpcLimit = 0x40000;

  // Makes no system object yet: the worker opens the block in setup.
  SharedMemCommDevice(const wchar_t* name, ReaderWriter role);
  // Copies would share the view and the handles.
  SharedMemCommDevice(const SharedMemCommDevice&) = delete;
  SharedMemCommDevice& operator=(const SharedMemCommDevice&) = delete;
  // Stops the worker (50 ms grace, then killed) and closes the block.
  ~SharedMemCommDevice() override;

  // Queues the message; a writer's worker waiting for work sees it at once.
  void pushMessage(Msg* msg) override;
  // True for the Writer.
  bool canSendMsgs() override { return m_eReaderWriter == Writer; }
  // True for the Reader.
  bool canReceiveMsgs() override { return m_eReaderWriter == Reader; }
  // Always SharedMemory.
  CommMechanism getCommType() override { return SharedMemory; }

 protected:
  using CommunicationDevice::pushMessage;

  // Opens the block on the worker; false ends the worker.
  bool setup() override { return createSharedMem(); }
  bool sendReceiveMsgs() override;
  // Waits on this side's bell rather than sleeping, when there is one.
  void waitForWork(int ms) override;

  // True when the block is mapped, false after a traced failure.
  bool createSharedMem();
  // Gives the object a low integrity label; false after a traced failure.
  bool reduceIntegrity(HANDLE object);
  // Unmaps the block and closes its handles.
  void cleanUpSharedMem();
  // Stops the worker as the destructor does (50 ms grace, then killed). A
  // subclass calls it first in its own destructor, so that the worker is
  // gone before any part of the object is taken down under it.
  void stopWorker();
  // Writer step: the oldest queued message into a free block; true when sent.
  bool sendMsg();
  // Reader step: a message out of a full block into the in queue; true when read.
  bool readMsg();

  // The mapped block, or null.
  char* m_pSharedView;
  // This end's role.
  ReaderWriter m_eReaderWriter;
  // The block's named lock, shared with the peer.
  Mutex m_mutex;
  // The block's object name.
  std::wstring m_strMapName;
  // The block's mapping handle.
  os::SharedMemoryObject* m_hMapFile;
  // The lock's object name.
  std::wstring m_strMutexName;

 private:
  void ring(ReaderWriter side);
  // A reader that freed the slot wakes a writer waiting for it.
  void ringWriterIfAwaited();
  void openWakePath();
  // The wake path while the peer takes part in it too; null otherwise.
  os::WakePathObject* wakePathWithPeer();

  std::wstring m_strWakeName;
  // Null while the device only polls. Set by the worker, read by pushers.
  std::atomic<os::WakePathObject*> m_hWakePath{nullptr};
  // The worker's last finding that the peer takes part.
  bool m_bPeerTakesPart = false;
};

}  // namespace kw
