// DebugLogDevice: the trace device that writes to the debugger's output stream.
#pragma once

#include <kw/LogDevice.h>

namespace kw {

// A trace device writing each event, with its header, to the debugger's output stream (standard
// error on Linux).
class KW_API DebugLogDevice : public LogDevice {
 public:
  void Setup() override {}
  // Writes the event's line, header included, to the debugger stream.
  void Write(Event& event) override;
  void ShutDown() override {}
};

}  // namespace kw
