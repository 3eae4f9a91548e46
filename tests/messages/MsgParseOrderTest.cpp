// Parsing gives the same message whatever order the attributes arrive in, a
// repeated name's last value included, keeps what came before a fault, and
// its cost does not grow with the square of the attribute count when names
// arrive in descending order.
#include <gtest/gtest.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Hex.h"
#include "support/ScratchDir.h"

using kw::ByteArray;
using kw::Msg;

namespace {

// One attribute as it travels: its kind (the value element's type), name and value.
struct Attr {
  int kind;
  std::wstring name;
  int number = 0;
  std::wstring text = {};
};

// What parsing must give: each attribute set in arrival order, a later one
// overwriting an earlier one of the same name and kind.
void applyInOrder(Msg& msg, const std::vector<Attr>& attrs) {
  for (const Attr& a : attrs) {
    if (a.kind == Msg::INTEGER)
      msg.setAttributeValue(a.name, a.number);
    else if (a.kind == Msg::STRING)
      msg.setAttributeValue(a.name, a.text);
    else
      msg.setAttributeValue(a.name, new ByteArray(std::string(a.number, 'b').data(), a.number));
  }
}

// The attributes' elements in the order given, without the header: each is
// what a message holding it alone writes after its 8-byte header.
std::string elements(const std::vector<Attr>& attrs) {
  std::string out;
  ByteArray one;
  for (const Attr& a : attrs) {
    Msg msg;
    msg.removeIntAttribute(L"MsgType");
    applyInOrder(msg, {a});
    msg.toByteArray(one);
    out.append(one.getData() + 8, one.getSize() - 8);
  }
  return out;
}

ByteArray wire(const std::string& body) {
  ByteArray out;
  out += 1;
  out += static_cast<int>(body.size()) + 8;
  return out + ByteArray(body.data(), static_cast<int>(body.size()));
}

std::string serialised(const Msg& msg) {
  ByteArray out;
  msg.toByteArray(out);
  return kwtest::toHex(out);
}

// A message that already holds attributes, some of whose names the bytes
// repeat.
void prefill(Msg& msg) {
  msg.setAttributeValue(L"b", 99);
  msg.setAttributeValue(L"zz", std::wstring(L"kept"));
  msg.setAttributeValue(L"B", new ByteArray("old", 3));
  msg.setAttributeValue(L"\uFFFD", 5);
}

// Names in descending order, enough of them that parsing stops inserting
// one by one and sorts what follows; then the given attributes.
std::vector<Attr> afterDescending(const std::vector<Attr>& attrs) {
  std::vector<Attr> all;
  for (int i = 150; i > 0; --i) all.push_back({Msg::INTEGER, L"d" + std::to_wstring(1000 + i), i});
  all.insert(all.end(), attrs.begin(), attrs.end());
  return all;
}

}  // namespace

TEST(MsgParseOrder, EveryOrderGivesWhatSettingInThatOrderGives) {
  // Names that repeat (within a kind and across kinds), differ only in case,
  // are empty, or order differently by code unit than by code point.
  std::vector<Attr> attrs = {{Msg::INTEGER, L"b", 1},
                             {Msg::STRING, L"b", 0, L"text b"},
                             {Msg::BYTE_ARRAY, L"b", 3},
                             {Msg::INTEGER, L"B", 2},
                             {Msg::INTEGER, L"a", 3},
                             {Msg::INTEGER, L"b", 4},
                             {Msg::STRING, L"", 0, L"empty"},
                             {Msg::INTEGER, L"", -7},
                             {Msg::STRING, L"\U0001F600", 0, L"pair"},
                             {Msg::STRING, L"\uFFFD", 0, L"bmp"},
                             {Msg::BYTE_ARRAY, L"B", 0},
                             {Msg::BYTE_ARRAY, L"B", 5},
                             {Msg::STRING, L"b", 0, L"again"},
                             {Msg::INTEGER, L"ab", 6},
                             {Msg::INTEGER, L"MsgType", 5},
                             {Msg::STRING, L"zz", 0, L"new"},
                             {Msg::INTEGER, L"\uFFFD", 8},
                             {Msg::BYTE_ARRAY, L"a", 1}};
  std::mt19937 random(20261207);
  std::vector<std::vector<Attr>> orders = {attrs, {attrs.rbegin(), attrs.rend()}};
  for (int i = 0; i < 40; ++i) {
    std::shuffle(attrs.begin(), attrs.end(), random);
    orders.push_back(attrs);
    orders.push_back(afterDescending(attrs));
  }
  // A name without its value at the end fails, and keeps what came before it.
  const std::string lostName = elements({{Msg::INTEGER, L"lost"}}).substr(0, 8 + 8);
  for (std::size_t i = 0; i < orders.size(); ++i) {
    SCOPED_TRACE("order " + std::to_string(i));
    for (bool prefilled : {false, true}) {
      for (bool cut : {false, true}) {
        Msg expected, parsed;
        if (prefilled) {
          prefill(expected);
          prefill(parsed);
        }
        applyInOrder(expected, orders[i]);
        try {
          parsed.fromByteArray(wire(elements(orders[i]) + (cut ? lostName : "")));
          EXPECT_FALSE(cut) << "a name without its value was accepted";
        } catch (const kw::CommsException& e) {
          EXPECT_TRUE(cut);
          EXPECT_EQ(e.getExceptionID(), kw::SiteId::MsgAttributeValueMissing);
        }
        EXPECT_EQ(serialised(parsed), serialised(expected)) << prefilled << cut;
      }
    }
  }
}

namespace {

// Enough names that a parse which shifts its entries on each insert takes
// minutes (400,000 took 78 s here) where a sorting one takes a second or
// two, even under a sanitizer.
constexpr int kDescendingNames = 800000;

std::wstring numberedName(int i) {
  std::wstring digits = std::to_wstring(i);
  return L"n" + std::wstring(7 - digits.size(), L'0') + digits;
}

// Parses kDescendingNames int attributes whose names arrive in descending
// order, then creates the file args[0] when every attribute is in place.
KW_CHILD_MAIN(MsgParseDescending) {
  std::vector<Attr> attrs;
  for (int i = kDescendingNames - 1; i >= 0; --i)
    attrs.push_back({Msg::INTEGER, numberedName(i), i});
  const ByteArray bytes = wire(elements(attrs));
  attrs = {};
  Msg msg;
  msg.fromByteArray(bytes);
  // MsgType sorts among the names: "M" is below "n".
  if (msg.getIntAttributeCount() != kDescendingNames + 1) return 1;
  int first = -1, last = -1;
  if (!msg.getAttributeValue(numberedName(0), first) ||
      !msg.getAttributeValue(numberedName(kDescendingNames - 1), last))
    return 2;
  if (first != 0 || last != kDescendingNames - 1) return 3;
  kwtest::touchFile(args.at(0));
  return 0;
}

}  // namespace

TEST(MsgParseOrder, DescendingNamesParseWithoutQuadraticCost) {
  kwtest::ScratchDir scratch;
  const std::string done = (scratch.path() / "done").string();
  kwtest::ChildProcess child("MsgParseDescending", {done});
  ASSERT_TRUE(child.started());
  // Generous: the bound tells an n log n parse from a quadratic one, not a
  // fast machine from a slow one.
  const bool finished = kwtest::waitForFile(done, 90000);
  if (!finished) child.kill();
  const int code = child.wait();
  ASSERT_TRUE(finished) << "parsing " << kDescendingNames
                        << " names in descending order took more than 90 s (exit code " << code
                        << ")";
  EXPECT_EQ(code, 0);
}
