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

Msg with(Msg msg, const wchar_t* name, int value) {
  msg.setAttributeValue(name, value);
  return msg;
}

Msg hashed(Msg msg, const char* hash) {
  msg.setAttributeValue(L"ApplicationHash", hash ? new ByteArray(hash, 2) : nullptr);
  return msg;
}

}  // namespace

TEST(AntiMsgRepeater, ComparesWhatEachTypeNames) {
  const Msg busy = make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Busy"}, {L"Other", L"a"}});
  const Msg doc = make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L"doc"}});
  const Msg good = with(make(Msg::PLUGIN_INFO, {{L"PluginInfoQuality", L"good"}}), L"HWND", 0);
  struct Case {
    const char* what;
    Msg last, next;
    bool repeats;
  };
  const Case cases[] = {
      {"state alone counts", busy,
       make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Busy"}, {L"Other", L"b"}}), true},
      {"state in another case", busy, make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"busy"}}),
       false},
      {"another type", busy, make(Msg::APPLICATION_CHANGE, {{L"SystemState", L"Busy"}}), false},
      {"a missing state is empty", make(Msg::SYSTEM_STATE_CHANGE),
       make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L""}}), true},
      {"other hash", hashed(doc, "h1"), hashed(doc, "h2"), false},
      {"a hash on one side only", hashed(doc, "h1"), doc, true},
      {"a null hash", hashed(doc, "h1"), hashed(doc, nullptr), true},
      {"a third context string", hashed(doc, "h1"),
       make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L"doc"}, {L"ContextString3", L"x"}}),
       false},
      {"a missing context string is empty", make(Msg::APPLICATION_CHANGE),
       make(Msg::APPLICATION_CHANGE, {{L"ContextString1", L""}}), true},
      // The one without ContextString2 does not inherit ContextString1's text.
      {"a later missing string",
       make(Msg::PLUGIN_INFO, {{L"ContextString1", L"same"}, {L"ContextString2", L"same"}}),
       make(Msg::PLUGIN_INFO, {{L"ContextString1", L"same"}}), false},
      {"a missing second string is empty", make(Msg::PLUGIN_INFO, {{L"ContextString2", L""}}),
       make(Msg::PLUGIN_INFO), true},
      {"a missing window is 0", good, make(Msg::PLUGIN_INFO, {{L"PluginInfoQuality", L"good"}}),
       true},
      {"another quality", good, make(Msg::PLUGIN_INFO, {{L"PluginInfoQuality", L"poor"}}), false},
      {"another window", with(make(Msg::PLUGIN_INFO), L"HWND", 5),
       with(make(Msg::PLUGIN_INFO), L"HWND", 6), false},
      {"other types always repeat", with(make(Msg::ERROR_MSG, {{L"Text", L"one"}}), L"Code", 1),
       make(Msg::ERROR_MSG, {{L"Text", L"two"}}), true},
  };
  for (const Case& c : cases) {
    AntiMsgRepeater filter;
    Msg last(c.last), next(c.next);
    filter.setLastSentMsgDetails(&last);
    EXPECT_EQ(filter.isEquivalentToLastSentMsg(&next), c.repeats) << c.what;
  }
}

TEST(AntiMsgRepeater, StartsWithAnUnspecifiedMessageAndKeepsItsOwnCopy) {
  AntiMsgRepeater filter;
  Msg idle = make(Msg::SYSTEM_STATE_CHANGE, {{L"SystemState", L"Idle"}});
  Msg plain;
  EXPECT_FALSE(filter.isEquivalentToLastSentMsg(&idle));
  EXPECT_TRUE(filter.isEquivalentToLastSentMsg(&plain));

  auto sent = std::make_unique<Msg>(idle);
  filter.setLastSentMsgDetails(sent.get());
  sent->setAttributeValue(L"SystemState", std::wstring(L"Changed"));
  sent.reset();
  filter.setLastSentMsgDetails(nullptr);
  AntiMsgRepeater copy(filter);
  AntiMsgRepeater assigned;
  assigned = filter;
  for (AntiMsgRepeater* held : {&filter, &copy, &assigned})
    EXPECT_TRUE(held->isEquivalentToLastSentMsg(&idle));
}
