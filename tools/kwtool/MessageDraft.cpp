// A message built attribute by attribute, its serialised size kept as it grows.
#include "kwtool/MessageDraft.h"

#include <algorithm>

#include "kwtool/Refusal.h"

namespace kwtool {

namespace {

// A new message's "MsgType" = 0: 8 + 14 for the name, 8 + 4 for the value.
constexpr std::int64_t kTypeShare = 34;
// Version and total length.
constexpr std::int64_t kHeader = 8;

}  // namespace

MessageDraft::MessageDraft(bool typed)
    : m_pMsg(std::make_unique<kw::Msg>()), m_nSize(kHeader + kTypeShare) {
  if (typed) {
    m_mapShares[{Attribute::Int, L"MsgType"}] = kTypeShare;
  } else {
    m_pMsg->removeIntAttribute(L"MsgType");
    m_nSize = kHeader;
  }
}

bool MessageDraft::add(const std::wstring& argument, const std::wstring& usage, std::int64_t limit,
                       Attribute::Form form) {
  const std::int64_t room = std::max<std::int64_t>(0, limit - m_nSize);
  Attribute attribute = [&] {
    try {
      return Attribute::parse(argument, usage, room, form);
    } catch (const Refusal& refusal) {
      throw Refusal(refusal.message() + L", the room left in a message of at most " +
                    std::to_wstring(limit) + L" bytes");
    }
  }();
  const std::pair<int, std::wstring> key{attribute.kind(), attribute.name()};
  auto found = m_mapShares.find(key);
  const std::int64_t replaced = found == m_mapShares.end() ? 0 : found->second;
  const std::int64_t size = m_nSize - replaced + attribute.wireSize();
  if (size > limit) return false;
  attribute.addTo(*m_pMsg);
  m_mapShares[key] = attribute.wireSize();
  m_nSize = size;
  return true;
}

}  // namespace kwtool
