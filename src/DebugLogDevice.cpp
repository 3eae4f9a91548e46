// DebugLogDevice: writes the event's line to the debugger stream; Logger::addDebugStreamLogDevice.
#include <kw/DebugLogDevice.h>
#include <kw/Event.h>
#include <kw/Logger.h>

#include "os/LogOutput.h"

namespace kw {

void DebugLogDevice::Write(Event& event) { os::debugWrite(event.toString(true)); }

void Logger::addDebugStreamLogDevice() {
  if (s_bInitialised && isSwitchedOn(L"DebugStream")) addCustomTraceDevice(new DebugLogDevice);
}

}  // namespace kw
