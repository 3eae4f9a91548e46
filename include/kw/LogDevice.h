// LogDevice: the interface the logger calls for each of its devices.
#pragma once

#include <kw/Platform.h>

namespace kw {

class Event;

// A sink for events. The Logger owns a device from the moment it is added
// and calls it only with its lock held, so a device needs no lock.
class KW_API LogDevice {
 public:
  LogDevice() = default;
  // Devices hold no shared state; a copy is independent.
  LogDevice(const LogDevice&) = default;
  // Devices hold no shared state; a copy is independent.
  LogDevice& operator=(const LogDevice&) = default;
  virtual ~LogDevice() = default;

  // Once, before the device is listed; throwing keeps it out.
  virtual void Setup() = 0;
  // Records one event.
  virtual void Write(Event& event) = 0;
  // Once, just before the logger destroys the device.
  virtual void ShutDown() = 0;
};

}  // namespace kw
