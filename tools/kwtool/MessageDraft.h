// A message built from command-line attributes, held to a size limit.
#pragma once

#include <kw/Msg.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "kwtool/Attribute.h"

namespace kwtool {

// A message built from command-line attributes. Its serialised size is
// kept as it grows, so that a message larger than its carrier takes is
// refused before its bytes are read in full.
class MessageDraft {
 public:
  // The wire format's total length is a signed 32-bit count.
  static constexpr std::int64_t kWireLimit = 0x7FFFFFFF;

  // A new message holds "MsgType" = 0; `typed` false leaves it out, for a
  // message that is to hold only what it is given.
  explicit MessageDraft(bool typed = true);

  // Parses the argument, reading a file no larger than the room left under
  // `limit`, and adds it; false when the message would then exceed `limit`.
  // Throws UsageError for a malformed argument or a file beyond the room.
  bool add(const std::wstring& argument, const std::wstring& usage, std::int64_t limit,
           Attribute::Form form = Attribute::Form::Argument);
  // The serialised size, as Msg::toByteArray will write it.
  std::int64_t size() const { return m_nSize; }
  kw::Msg& msg() { return *m_pMsg; }
  std::unique_ptr<kw::Msg> take() { return std::move(m_pMsg); }

 private:
  std::unique_ptr<kw::Msg> m_pMsg;
  // Each attribute's share by map and name: a name given twice replaces.
  std::map<std::pair<int, std::wstring>, std::int64_t> m_mapShares;
  std::int64_t m_nSize;
};

}  // namespace kwtool
