#pragma once

#include <kw/CommunicationDevice.h>
#include <kw/Mutex.h>

#include <string>

namespace kw {

// Carries messages one way between two processes of a session through a
// named shared block that holds one message at a time. Both processes
// open the same name, one as Writer and one as Reader; the other direction
// needs a second pair under another name.
class KW_API SharedMemCommDevice : public CommunicationDevice {
 public:
  enum ReaderWriter : int { Reader = 0, Writer = 1 };

  // The block's size and the largest serialised message it carries.
  static constexpr int kBlockSize = 0x40008;
  static constexpr int kIpcLimit = 0x40000;

  // Makes no system object yet: the worker opens the block in setup.
  SharedMemCommDevice(const wchar_t* name, ReaderWriter role);
  // Copies would share the view and the handles.
  SharedMemCommDevice(const SharedMemCommDevice&) = delete;
  SharedMemCommDevice& operator=(const SharedMemCommDevice&) = delete;
  // Stops the worker (50 ms grace, then killed) and closes the block.
  ~SharedMemCommDevice() override;

  bool canSendMsgs() override { return m_eReaderWriter == Writer; }
  bool canReceiveMsgs() override { return m_eReaderWriter == Reader; }
  CommMechanism getCommType() override { return SharedMemory; }

 protected:
  bool setup() override { return createSharedMem(); }
  bool sendReceiveMsgs() override;

  // True when the block is mapped, false after a traced failure.
  bool createSharedMem();
  bool reduceIntegrity(HANDLE object);
  void cleanUpSharedMem();
  bool sendMsg();
  bool readMsg();

  char* m_pSharedView;
  ReaderWriter m_eReaderWriter;
  Mutex m_mutex;
  std::wstring m_strMapName;
  HANDLE m_hMapFile;
  std::wstring m_strMutexName;
};

}  // namespace kw
