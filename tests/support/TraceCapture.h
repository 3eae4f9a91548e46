// Records what reaches the logger's trace devices during a test.
#pragma once

#include <kw/Event.h>
#include <kw/LogDevice.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kwtest {

// Initialises the logger (application "KwTest" unless it already has a
// name) and adds a trace device; at the end of the scope the logger is
// shut down, which removes every device.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  struct Record {
    int id;
    kw::Event::EventType type;
    std::wstring text;  // toString(false)
    std::wstring file;
    std::wstring function;
  };

  std::vector<Record> records() const;
  std::vector<int> ids() const;
  int count(int id) const;
  void clear();

 private:
  struct Shared;
  class Device;
  std::shared_ptr<Shared> m_shared;
};

}  // namespace kwtest
