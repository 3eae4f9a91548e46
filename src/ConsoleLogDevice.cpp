// ConsoleLogDevice: writes the event's line to standard output; Logger::addConsoleLogDevice.
#include <kw/ConsoleLogDevice.h>
#include <kw/Event.h>
#include <kw/Logger.h>

#include "os/LogOutput.h"

namespace kw {

void ConsoleLogDevice::Write(Event& event) { os::consoleWrite(event.toString(true)); }

void Logger::addConsoleLogDevice() {
  if (s_bInitialised && isSwitchedOn(L"ConsoleTrace")) addCustomTraceDevice(new ConsoleLogDevice);
}

}  // namespace kw
