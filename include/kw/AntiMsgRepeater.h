// AntiMsgRepeater: lets a sender skip a message that would only repeat the last one it sent.
#pragma once

#include <kw/Msg.h>

namespace kw {

// Remembers the last message a sender sent and tells whether a new one would
// only repeat it, judged per message type on the attributes that identify
// what the message reports.
class KW_API AntiMsgRepeater {
 public:
  AntiMsgRepeater();
  // Copies the held message.
  AntiMsgRepeater(const AntiMsgRepeater& other);
  virtual ~AntiMsgRepeater();
  // Replaces the held message with a copy of the other's.
  AntiMsgRepeater& operator=(const AntiMsgRepeater& other);

  // Keeps a deep copy; null is ignored. The caller keeps `msg`.
  void setLastSentMsgDetails(Msg* msg);
  // Whether `msg` (not null, only read) would only repeat the held message.
  bool isEquivalentToLastSentMsg(Msg* msg);

 private:
  Msg m_lastSentMsg;
};

}  // namespace kw
