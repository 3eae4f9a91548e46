// The writer end of a channel that can tell when the reader has taken all.
#pragma once

#include <kw/SharedMemCommDevice.h>

namespace kwtool {

// The writer end of a channel, which can tell when the reader has taken
// the last message out of the block.
class SendingDevice : public kw::SharedMemCommDevice {
 public:
  explicit SendingDevice(const wchar_t* name) : kw::SharedMemCommDevice(name, Writer) {}
  ~SendingDevice() override;

  // Nothing queued and nothing waiting in the block.
  bool allTaken();
};

}  // namespace kwtool
