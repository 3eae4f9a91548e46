// ConsoleLogDevice: the trace device that writes to standard output.
#pragma once

#include <kw/LogDevice.h>

namespace kw {

// A trace device writing each event, with its header, to the process's standard output.
class KW_API ConsoleLogDevice : public LogDevice {
 public:
  void Setup() override {}
  // Writes the event's line, header included, to standard output: on Windows in
  // the C runtime's current locale, '?' for a character it lacks; UTF-8 on Linux.
  void Write(Event& event) override;
  void ShutDown() override {}
};

}  // namespace kw
