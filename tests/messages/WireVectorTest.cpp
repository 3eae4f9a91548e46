// Both targets must read and write the same bytes for these messages; the
// expected bytes live in a data file shared by the Linux and Windows suites.
#include <gtest/gtest.h>
#include <kw/Msg.h>

#include <functional>
#include <map>
#include <string>

#include "support/Hex.h"
#include "support/WireVectors.h"

using kw::ByteArray;
using kw::Msg;

namespace {

using Builder = std::function<void(Msg&)>;

const std::map<std::string, Builder>& builders() {
  static const std::map<std::string, Builder> all = {
      {"worked_example", [](Msg& m) { m.setType(Msg::SYSTEM_STATE_CHANGE); }},
      {"no_attributes", [](Msg& m) { m.removeIntAttribute(L"MsgType"); }},
      {"negative_ints",
       [](Msg& m) {
         m.setType(Msg::ERROR_MSG);
         m.setAttributeValue(L"Minus1", -1);
         m.setAttributeValue(L"Min", -2147483647 - 1);
         m.setAttributeValue(L"Max", 2147483647);
       }},
      {"empty_names_and_values",
       [](Msg& m) {
         m.setAttributeValue(L"", 0);
         m.setAttributeValue(L"", std::wstring());
         m.setAttributeValue(L"", new ByteArray());
         m.setAttributeValue(L"EmptyText", std::wstring());
         m.setAttributeValue(L"EmptyBytes", new ByteArray());
       }},
      {"case_differing_names",
       [](Msg& m) {
         m.setAttributeValue(L"state", 1);
         m.setAttributeValue(L"State", 2);
         m.setAttributeValue(L"STATE", 3);
         m.setAttributeValue(L"SystemState", std::wstring(L"Busy"));
         m.setAttributeValue(L"systemstate", std::wstring(L"busy"));
       }},
      {"non_bmp",
       [](Msg& m) {
         m.setType(Msg::PLUGIN_INFO);
         // Names order by UTF-16 code units: U+1F600 (D83D DE00) comes before
         // U+FFFD although its code point is larger.
         m.setAttributeValue(L"\U0001F600key", std::wstring(L"value \U00010348 \u00e9"));
         m.setAttributeValue(L"\uFFFDkey", std::wstring(L"bmp"));
         m.setAttributeValue(L"ContextString1", std::wstring(L"\U0001D11E"));
       }},
      {"byte_arrays",
       [](Msg& m) {
         m.setType(Msg::APPLICATION_CHANGE);
         m.setAttributeValue(L"ApplicationHash", new ByteArray("\x00\x01\x7f\x80\xff", 5));
         m.setAttributeValue(L"Signature", new ByteArray("sig", 3));
         m.setAttributeValue(L"HWND", 0x1234);
       }},
  };
  return all;
}

}  // namespace

TEST(WireVectors, EveryMessageSerialisesToItsBytesAndBack) {
  const auto vectors = kwtest::readWireVectors();
  ASSERT_EQ(vectors.size(), builders().size()) << "missing or extra vectors in the data file";
  for (const auto& [name, build] : builders()) {
    SCOPED_TRACE(name);
    auto it = vectors.find(name);
    ASSERT_NE(it, vectors.end());

    Msg built, parsed;
    build(built);
    ByteArray wire, again;
    built.toByteArray(wire);
    EXPECT_EQ(kwtest::toHex(wire), it->second);
    // Equal bytes mean equal attributes: the order of writing is fixed.
    parsed.removeIntAttribute(L"MsgType");
    parsed.fromByteArray(kwtest::hex(it->second));
    parsed.toByteArray(again);
    EXPECT_EQ(kwtest::toHex(again), it->second);
  }
}
