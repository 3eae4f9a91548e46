#pragma once

#include <kw/LogDevice.h>

namespace kw {

// A trace device writing each event, with its header, to the process's standard output.
class KW_API ConsoleLogDevice : public LogDevice {
 public:
  void Setup() override {}
  // Writes the event's line, header included, to standard output.
  void Write(Event& event) override;
  void ShutDown() override {}
};

}  // namespace kw
