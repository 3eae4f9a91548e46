// SharedMemCommDevice: the one-message shared block, its lock and flag, the wake objects, and the
// reader's and writer's transport steps.
#include <kw/AutoMutex.h>
#include <kw/ByteArray.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>
#include <kw/SharedMemCommDevice.h>
#include <kw/SiteId.h>
#include <kw/SystemException.h>
#include <kw/Tools.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "Site.h"
#include "os/SharedMemory.h"
#include "os/WakePath.h"

namespace kw {

namespace {

constexpr wchar_t kFile[] = L".\\src\\SharedMemCommDevice";

// The block: a message-present flag, three reserved bytes, the length and
// the message bytes.
constexpr std::size_t kLengthOffset = 4;
constexpr std::size_t kDataOffset = 8;

// The flag is also read, and cleared after a refused message, without the
// lock: one byte, read and written whole, ordered against the bytes it guards.
std::uint8_t loadFlag(const char* view) {
  return __atomic_load_n(reinterpret_cast<const std::uint8_t*>(view), __ATOMIC_ACQUIRE);
}

void storeFlag(char* view, std::uint8_t value) {
  __atomic_store_n(reinterpret_cast<std::uint8_t*>(view), value, __ATOMIC_RELEASE);
}

constexpr Site kSendReceive(kFile, L"SharedMemCommDevice::sendReceiveMsgs");

void traceCommsFailure(const CommsException& e) {
  kSendReceive.traceCaught(SiteId::SharedMemTransferCommsError, e,
                           L"A Comms exception occured while sending and receiving data", 131);
}

constexpr Site kReadMsg(kFile, L"SharedMemCommDevice::readMsg");

CommsException allocationFailure(int length) {
  return kReadMsg.commsException(SiteId::SharedMemReceiveAllocFailed,
                                 L"Unable to allocate space for the received message: ", 415,
                                 length);
}

}  // namespace

SharedMemCommDevice::SharedMemCommDevice(const wchar_t* name, ReaderWriter role)
    : m_pSharedView(nullptr), m_eReaderWriter(role), m_hMapFile(nullptr) {
  const std::wstring local = Tools::createLocalObjectName(name);
  m_strMapName = local + L".mem";
  m_strMutexName = local + L".mtx";
  m_strWakeName = local;
}

SharedMemCommDevice::~SharedMemCommDevice() {
  stopWorker();
  cleanUpSharedMem();
}

void SharedMemCommDevice::stopWorker() {
  // A worker waiting on its bells does not see the thread's wake event:
  // the request comes first, then the bells.
  requestTermination();
  ring(m_eReaderWriter);
  if (os::WakePathHandle wake = m_hWakePath.load()) os::wakePathRingLocal(wake);
  terminate(50);
}

void SharedMemCommDevice::pushMessage(Msg* msg) {
  // The worker waits for work only once it has found the out queue empty,
  // so only a push onto an empty queue needs to ring it.
  bool wasEmpty;
  {
    AutoMutex guard(m_outQLock);
    wasEmpty = m_lstOutQ.empty();
    CommunicationDevice::pushMessage(msg, m_lstOutQ, m_outQLock);
  }
  if (wasEmpty && m_eReaderWriter == Writer) {
    if (os::WakePathHandle wake = m_hWakePath.load()) os::wakePathRingLocal(wake);
  }
}

void SharedMemCommDevice::ring(ReaderWriter side) {
  if (os::WakePathHandle wake = m_hWakePath.load())
    os::wakePathRing(wake, side == Reader ? os::WakeReader : os::WakeWriter);
}

// The wake path only speeds the block up: a side that cannot open it polls.
void SharedMemCommDevice::openWakePath() {
  if (os::wakePathSwitchedOff()) return;
  m_hWakePath = os::wakePathOpen(m_strWakeName.c_str(),
                                 m_eReaderWriter == Reader ? os::WakeReader : os::WakeWriter);
}

os::WakePathHandle SharedMemCommDevice::wakePathWithPeer() {
  os::WakePathHandle wake = m_hWakePath.load();
  if (!wake) return nullptr;
  // A peer found taking part is believed until it fails to ring in time;
  // one that did not is looked for again each time.
  if (!m_bPeerTakesPart) m_bPeerTakesPart = os::wakePathPeerTakesPart(wake);
  return m_bPeerTakesPart ? wake : nullptr;
}

void SharedMemCommDevice::ringWriterIfAwaited() {
  if (os::WakePathHandle wake = m_hWakePath.load()) os::wakePathRingPeerIfAwaited(wake);
}

void SharedMemCommDevice::waitForWork(int ms) {
  os::WakePathHandle wake = m_hWakePath.load();
  if (!wake) return CommunicationDevice::waitForWork(ms);
  const unsigned long waitMs = static_cast<unsigned long>(ms);
  if (m_eReaderWriter == Writer) {
    // A writer's work comes from its own process: a push.
    os::wakePathWaitLocal(wake, waitMs);
  } else {
    // A writer that holds its next message refills the slot within moments.
    // A slot still full here holds a message that the last step failed on:
    // the wait stands then.
    const char* view = m_pSharedView;
    const bool awaitRefill = view && loadFlag(view) == 0;
    if (!awaitRefill || !os::wakePathSpin(wake, true, [view] { return loadFlag(view) != 0; }))
      os::wakePathWait(wake, waitMs);
  }
  terminateIfRequested();
}

bool SharedMemCommDevice::createSharedMem() {
  const Site site(kFile, L"SharedMemCommDevice::createSharedMem");
  try {
    cleanUpSharedMem();
    m_mutex.initialise(m_strMutexName.c_str());
    reduceIntegrity(m_mutex.getHandle());
    m_hMapFile = os::sharedMemoryCreate(m_strMapName.c_str(), kBlockSize);
    if (!m_hMapFile) {
      const std::wstring refusal = os::namedObjectRefusal();
      site.throwSystemError(SiteId::SharedMemMappingCreateFailed,
                            L"Error occurred creating the virtual file mapping", 181,
                            refusal.empty() ? nullptr : refusal.c_str());
    }
    reduceIntegrity(m_hMapFile);
    void* view = os::sharedMemoryMap(m_hMapFile, kBlockSize);
    if (!view) {
      site.throwSystemError(SiteId::SharedMemMapViewFailed, L"Error occurred mapping shared memory",
                            201);
    }
    m_pSharedView = static_cast<char*>(view);
    openWakePath();
    return true;
  } catch (SystemException& e) {
    site.traceCaught(SiteId::SharedMemCreateFailed, e,
                     L"An exception occured while creating shared global memory", 220);
    return false;
  }
}

bool SharedMemCommDevice::reduceIntegrity(HANDLE object) {
  const Site site(kFile, L"SharedMemCommDevice::reduceIntegrity");
  switch (os::lowerIntegrity(object)) {
    case os::LabelFailure::None:
      return true;
    case os::LabelFailure::Descriptor:
      site.traceSystemError(
          SiteId::SharedMemLabelDescriptorFailed,
          L"ConvertStringSecurityDescriptorToSecurityDescriptor failed while creating "
          L"comm device",
          244);
      return false;
    case os::LabelFailure::Sacl:
      site.traceSystemError(SiteId::SharedMemLabelSaclFailed,
                            L"GetSecurityDescriptorSacl failed while creating comm device", 253);
      return false;
    case os::LabelFailure::SetInfo:
      site.traceSystemError(SiteId::SharedMemLabelSetFailed,
                            L"SetSecurityInfo failed while creating comm device", 266);
      return false;
  }
  return false;
}

void SharedMemCommDevice::cleanUpSharedMem() {
  if (m_pSharedView) os::sharedMemoryUnmap(m_pSharedView);
  if (m_hMapFile) os::sharedMemoryClose(m_hMapFile);
  m_pSharedView = nullptr;
  m_hMapFile = nullptr;
  os::wakePathClose(m_hWakePath.exchange(nullptr));
}

bool SharedMemCommDevice::sendReceiveMsgs() {
  if (!m_pSharedView) return false;
  try {
    return m_eReaderWriter == Writer ? sendMsg() : readMsg();
  } catch (SystemException& e) {
    kSendReceive.traceCaught(SiteId::SharedMemTransferSystemError, e,
                             L"A System exception occured while sending and receiving data", 126);
    return false;
  } catch (CommsException& e) {
    traceCommsFailure(e);
    const int id = e.getExceptionID();
    if ((id == SiteId::SharedMemSendTooLarge || id == SiteId::SharedMemReceiveTooLarge ||
         id == SiteId::SharedMemReceiveAllocFailed) &&
        m_eReaderWriter == Reader) {
      storeFlag(m_pSharedView, 0);
      ringWriterIfAwaited();
    }
    return false;
  }
}

bool SharedMemCommDevice::sendMsg() {
  std::unique_ptr<Msg> msg(popMessage(m_lstOutQ, m_outQLock));
  if (!msg) return false;
  ByteArray bytes;
  msg->toByteArray(bytes);
  msg.reset();
  const int length = bytes.getSize();
  if (length > kIpcLimit) {
    Site(kFile, L"SharedMemCommDevice::sendMsg")
        .throwCommsException(SiteId::SharedMemSendTooLarge, L"Msg bigger than IPC limit: ", 316,
                             length);
  }
  bool awaiting = false;
  for (bool written = false; !written;) {
    m_mutex.lock();
    if (loadFlag(m_pSharedView) == 0) {
      std::memcpy(m_pSharedView + kDataOffset, bytes.getData(), static_cast<std::size_t>(length));
      std::memcpy(m_pSharedView + kLengthOffset, &length, sizeof length);
      storeFlag(m_pSharedView, 1);
      written = true;
    } else if (os::WakePathHandle wake = wakePathWithPeer()) {
      // Marked under the lock, so that a reader freeing the slot after this
      // sees the mark; it needs the lock to free it, so the wait is without.
      if (!awaiting) os::wakePathAwaitPeer(wake, awaiting = true);
      m_mutex.release();
      terminateIfRequested();
      // A reader that runs frees the slot within moments.
      const char* view = m_pSharedView;
      if (!os::wakePathSpin(wake, false, [view] { return loadFlag(view) == 0; }) &&
          !os::wakePathWait(wake, 10))
        m_bPeerTakesPart = false;
      terminateIfRequested();
      continue;
    } else {
      // Held through the wait: a worker ended here leaves the lock abandoned.
      sleep(10);
    }
    m_mutex.release();
    terminateIfRequested();
  }
  // Marked until the slot is full again: a reader may expect the message meanwhile.
  if (awaiting) os::wakePathAwaitPeer(m_hWakePath.load(), false);
  ring(Reader);
  return true;
}

bool SharedMemCommDevice::readMsg() {
  if (loadFlag(m_pSharedView) == 0) return false;
  m_mutex.lock();
  if (loadFlag(m_pSharedView) == 0) {
    m_mutex.release();
    return false;
  }
  std::int32_t length = 0;
  std::memcpy(&length, m_pSharedView + kLengthOffset, sizeof length);
  if (length > kIpcLimit || length < 0) {
    m_mutex.release();
    kReadMsg.throwCommsException(SiteId::SharedMemReceiveTooLarge,
                                 L"Msg size exceeds IPC buffer limit: ", 396, length);
  }
  std::unique_ptr<ByteArray> bytes;
  try {
    bytes.reset(new ByteArray(m_pSharedView + kDataOffset, length));
  } catch (const std::bad_alloc&) {
  }
  storeFlag(m_pSharedView, 0);
  m_mutex.release();
  ringWriterIfAwaited();
  if (!bytes) throw allocationFailure(length);
  try {
    std::unique_ptr<Msg> msg(new Msg);
    msg->fromByteArray(*bytes);
    pushMessage(msg.get(), m_lstInQ, m_inQLock);
    msg.release();
  } catch (const std::bad_alloc&) {
    // Reported as the handler reports the failed copy, but the flag stays:
    // the slot is free already and may hold the writer's next message.
    try {
      traceCommsFailure(allocationFailure(length));
    } catch (const std::bad_alloc&) {
    }
    return false;
  }
  return true;
}

}  // namespace kw
