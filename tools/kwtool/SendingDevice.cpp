// The writer end of a channel that can tell when the reader has taken all.
#include "kwtool/SendingDevice.h"

#include <cstdint>

namespace kwtool {

SendingDevice::~SendingDevice() { stopWorker(); }

bool SendingDevice::allTaken() {
  if (getOutQSize() != 0 || !m_pSharedView) return false;
  return __atomic_load_n(reinterpret_cast<const std::uint8_t*>(m_pSharedView), __ATOMIC_ACQUIRE) ==
         0;
}

}  // namespace kwtool
