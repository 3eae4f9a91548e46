// EventLogDevice: reports each event to the system event log; Logger::addEventLogDevice.
#include <kw/Event.h>
#include <kw/EventLogDevice.h>
#include <kw/Logger.h>
#include <kw/SiteId.h>

#include "Site.h"
#include "os/LogOutput.h"
#include "os/Unwinding.h"

namespace kw {

namespace {

constexpr Site kWrite(L".\\src\\EventLogDevice", L"EventLogDevice::Write");

}  // namespace

EventLogDevice::EventLogDevice() : m_strEventSource(L"Kestrelwright") {}

void EventLogDevice::SetEventSource(const wchar_t* source) {
  if (source) m_strEventSource = source;
}

void EventLogDevice::Write(Event& event) {
  try {
    const os::OwnedEventSource source = os::eventSourceOpen(m_strEventSource);
    if (!source.valid()) {
      kWrite.trace(SiteId::EventLogOpenFailed, L"Failed to get a handle to the Eventlog", __LINE__);
      return;
    }
    std::wstring text = event.toString(false);
    if (!os::eventReport(source.get(), event.getType(), event.getID(),
                         text.empty() ? nullptr : text.c_str()))
      kWrite.trace(SiteId::EventLogWriteFailed, L"Failed to write to the Eventlog", __LINE__);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
    kWrite.trace(SiteId::EventLogUnexpectedException,
                 L"An unexpected exception occured while writing to the Eventlog", __LINE__);
  }
}

void Logger::addEventLogDevice() {
  if (!s_bInitialised) return;  // it would not be taken
  auto* device = new EventLogDevice;
  device->SetEventSource(s_strApplicationName.c_str());
  addCustomLogDevice(device);
}

}  // namespace kw
