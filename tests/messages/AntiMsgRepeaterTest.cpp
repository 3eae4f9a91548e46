// Tests of AntiMsgRepeater: which attributes each message type compares, missing texts, and the
// held copy.
#include <gtest/gtest.h>
#include <kw/AntiMsgRepeater.h>

#include <memory>

using kw::AntiMsgRepeater;
using kw::ByteArray;
using kw::Msg;

namespace {

Msg make(Msg::MsgType type,
         std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> strings = {}) {
  Msg msg;
  msg.setType(type);
  for (const auto& [name, value] : strings) msg.setAttributeValue(name, std::wstring(value));
  return msg;
}

bool repeats(const Msg& last, Msg next) {
  AntiMsgRepeater filter;
  Msg copy(last);
  filter.setLastSentMsgDetails(&copy);
  return filter.isEquivalentToLastSentMsg(&next);
}

}  // namespace

TEST(AntiMsgRepeater, NewFilterHoldsAnUnspecifiedMessage) {
  AntiMsgRepeater filter;
  Msg state = make(Msg::SYSTEM_STATE_CHANGE);
  Msg plain;
  EXPECT_FALSE(filter.isEquivalentToLastSentMsg(&state));
  EXPECT_TRUE(filter.isEquivalentToLastSentMsg(&plain));
}

TEST(AntiMsgRepeater, SystemStateComparesItsTextOnly) {
  Msg last = make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Busy"}, {L"Other", L"a"}});
  EXPECT_TRUE(
      repeats(last, make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Busy"}, {L"Other", L"b"}})));
  EXPECT_FALSE(repeats(last, make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"busy"}})));
  EXPECT_FALSE(repeats(last, make(Msg::APPLICATION_CHANGE, {{L"SystemState", L"Busy"}})));
  // A missing state reads as the empty text.
  EXPECT_TRUE(repeats(make(Msg::SYSTEM_STATE_CHANGE),
                      make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L""}})));
}

TEST(AntiMsgRepeater, ApplicationChangeSkipsAHashOnlyOneSideHas) {
  Msg last = make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L"doc"}});
  last.setAttributeValue(L"ApplicationHash", new ByteArray("h1", 2));
  Msg otherHash = make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L"doc"}});
  otherHash.setAttributeValue(L"ApplicationHash", new ByteArray("h2", 2));
  EXPECT_FALSE(repeats(last, otherHash));
  EXPECT_TRUE(repeats(last, make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L"doc"}})));
  Msg nullHash = make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L"doc"}});
  nullHash.setAttributeValue(L"ApplicationHash", static_cast<ByteArray*>(nullptr));
  EXPECT_TRUE(repeats(last, nullHash));
  EXPECT_FALSE(repeats(last, make(Msg::APPLICATION_CHANGE,
                                  {{L"ContextString1", L"doc"}, {L"ContextString3", L"x"}})));
  EXPECT_TRUE(repeats(make(Msg::APPLICATION_CHANGE),
                      make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L""}})));
}

TEST(AntiMsgRepeater, LaterMissingStringsCompareAsEmpty) {
  Msg last = make(Msg::PLUGIN_INFO, {{L"ContextString1", L"same"}, {L"ContextString2", L"same"}});
  // The one without ContextString2 does not inherit ContextString1's text.
  EXPECT_FALSE(repeats(last, make(Msg::PLUGIN_INFO, {{L"ContextString1", L"same"}})));
  EXPECT_TRUE(repeats(make(Msg::PLUGIN_INFO, {{L"ContextString2", L""}}), make(Msg::PLUGIN_INFO)));
}

TEST(AntiMsgRepeater, PluginInfoComparesTheWindowFirst) {
  Msg last = make(Msg::PLUGIN_INFO, {{L"PluginInfoQuality", L"good"}});
  last.setAttributeValue(L"HWND", 0);
  EXPECT_TRUE(repeats(last, make(Msg::PLUGIN_INFO, {{L"PluginInfoQuality", L"good"}})));
  EXPECT_FALSE(repeats(last, make(Msg::PLUGIN_INFO, {{L"PluginInfoQuality", L"poor"}})));
  Msg five = make(Msg::PLUGIN_INFO);
  five.setAttributeValue(L"HWND", 5);
  Msg six = make(Msg::PLUGIN_INFO);
  six.setAttributeValue(L"HWND", 6);
  EXPECT_FALSE(repeats(five, six));
}

TEST(AntiMsgRepeater, OtherTypesAlwaysRepeat) {
  Msg a = make(Msg::ERROR_MSG, {{L"Text", L"one"}});
  a.setAttributeValue(L"Code", 1);
  EXPECT_TRUE(repeats(a, make(Msg::ERROR_MSG, {{L"Text", L"two"}})));
}

TEST(AntiMsgRepeater, KeepsItsOwnCopy) {
  AntiMsgRepeater filter;
  auto sent = std::make_unique<Msg>(make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Idle"}}));
  filter.setLastSentMsgDetails(sent.get());
  sent->setAttributeValue(L"SystemState", std::wstring(L"Changed"));
  sent.reset();
  filter.setLastSentMsgDetails(nullptr);
  Msg idle = make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Idle"}});
  EXPECT_TRUE(filter.isEquivalentToLastSentMsg(&idle));

  AntiMsgRepeater copy(filter);
  AntiMsgRepeater assigned;
  assigned = filter;
  EXPECT_TRUE(copy.isEquivalentToLastSentMsg(&idle));
  EXPECT_TRUE(assigned.isEquivalentToLastSentMsg(&idle));
}
