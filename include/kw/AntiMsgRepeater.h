#pragma once

#include <kw/Msg.h>

namespace kw {

// Remembers the last message a sender sent and tells whether a new one would
// only repeat it, judged per message type on the attributes that identify
// what the message reports.
class KW_API AntiMsgRepeater {
 public:
  AntiMsgRepeater();
  AntiMsgRepeater(const AntiMsgRepeater& other);
  virtual ~AntiMsgRepeater();
  AntiMsgRepeater& operator=(const AntiMsgRepeater& other);

  // Keeps a deep copy; null is ignored. The caller keeps `msg`.
  void setLastSentMsgDetails(Msg* msg);
  bool isEquivalentToLastSentMsg(Msg* msg);

 private:
  Msg m_lastSentMsg;
};

}  // namespace kw
