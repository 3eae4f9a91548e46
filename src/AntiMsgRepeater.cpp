// AntiMsgRepeater: which attributes make two messages of a type the same report.
#include <kw/AntiMsgRepeater.h>

#include <initializer_list>

namespace kw {

namespace {

// A string attribute a message lacks compares as the empty text.
bool sameStrings(const Msg& a, const Msg& b, std::initializer_list<const wchar_t*> names) {
  for (const wchar_t* name : names) {
    std::wstring left, right;
    a.getAttributeValue(name, left);
    b.getAttributeValue(name, right);
    if (left != right) return false;
  }
  return true;
}

bool sameApplication(const Msg& a, const Msg& b) {
  ByteArray* left = nullptr;
  ByteArray* right = nullptr;
  a.getAttributeValue(L"ApplicationHash", left);
  b.getAttributeValue(L"ApplicationHash", right);
  if (left && right && *left != *right) return false;
  return sameStrings(a, b, {L"ContextString1", L"ContextString2", L"ContextString3"});
}

bool samePlugin(const Msg& a, const Msg& b) {
  int left = 0, right = 0;
  a.getAttributeValue(L"HWND", left);
  b.getAttributeValue(L"HWND", right);
  if (left != right) return false;
  return sameStrings(
      a, b, {L"ContextString1", L"ContextString2", L"ContextString3", L"PluginInfoQuality"});
}

}  // namespace

AntiMsgRepeater::AntiMsgRepeater() = default;

AntiMsgRepeater::AntiMsgRepeater(const AntiMsgRepeater& other) = default;

AntiMsgRepeater::~AntiMsgRepeater() = default;

AntiMsgRepeater& AntiMsgRepeater::operator=(const AntiMsgRepeater& other) = default;

void AntiMsgRepeater::setLastSentMsgDetails(Msg* msg) {
  if (msg) m_lastSentMsg = *msg;
}

bool AntiMsgRepeater::isEquivalentToLastSentMsg(Msg* msg) {
  if (!msg) return false;
  const Msg& last = m_lastSentMsg;
  if (last.getType() != msg->getType()) return false;
  switch (msg->getType()) {
    case Msg::SYSTEM_STATE_CHANGE:
      return sameStrings(last, *msg, {L"SystemState"});
    case Msg::APPLICATION_CHANGE:
      return sameApplication(last, *msg);
    case Msg::PLUGIN_INFO:
      return samePlugin(last, *msg);
    default:
      return true;
  }
}

}  // namespace kw
