// EventLogDevice: the log device that reports to the system event log.
#pragma once

#include <kw/LogDevice.h>

#include <string>

namespace kw {

// The log device: reports each event, without its header, to the system
// event log under a source name. Its own failures go to the trace devices.
class KW_API EventLogDevice : public LogDevice {
 public:
  EventLogDevice();

  // Null keeps the current name.
  void SetEventSource(const wchar_t* source);
  // The source name events are reported under.
  const std::wstring& getEventSource() const { return m_strEventSource; }

  void Setup() override {}
  // Reports the event's text, without header, to the system event log.
  void Write(Event& event) override;
  void ShutDown() override {}

 private:
  std::wstring m_strEventSource;
};

}  // namespace kw
