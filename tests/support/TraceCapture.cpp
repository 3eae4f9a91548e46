// TraceCapture: a trace device that records the ID and text of every event a test causes.
#include "support/TraceCapture.h"

#include <kw/Logger.h>

#include <algorithm>

namespace kwtest {

struct TraceCapture::Shared {
  mutable std::mutex lock;
  std::vector<Record> records;
};

class TraceCapture::Device : public kw::LogDevice {
 public:
  explicit Device(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
  void Setup() override {}
  void ShutDown() override {}
  void Write(kw::Event& event) override;

 private:
  std::shared_ptr<Shared> m_shared;
};

TraceCapture::TraceCapture() : m_shared(std::make_shared<Shared>()) {
  if (kw::Logger::getApplicationName().empty()) kw::Logger::initialise(L"KwTest");
  kw::Logger::addCustomTraceDevice(new Device(m_shared));
}

TraceCapture::~TraceCapture() { kw::Logger::shutDown(); }

void TraceCapture::Device::Write(kw::Event& event) {
  TraceCapture::Record record{event.getID(), event.getType(), event.toString(false),
                              event.getFile() ? event.getFile() : L"",
                              event.getFunction() ? event.getFunction() : L""};
  std::lock_guard<std::mutex> guard(m_shared->lock);
  m_shared->records.push_back(std::move(record));
}

std::vector<TraceCapture::Record> TraceCapture::records() const {
  std::lock_guard<std::mutex> guard(m_shared->lock);
  return m_shared->records;
}

std::vector<int> TraceCapture::ids() const {
  std::vector<int> ids;
  for (const Record& record : records()) ids.push_back(record.id);
  return ids;
}

int TraceCapture::count(int id) const {
  std::vector<int> all = ids();
  return static_cast<int>(std::count(all.begin(), all.end(), id));
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> guard(m_shared->lock);
  m_shared->records.clear();
}

}  // namespace kwtest
