// Tests of Msg: types, the text form, each fault and its site, what parsing keeps and adds, and
// the arrays a parsed message holds.
#include <gtest/gtest.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <optional>
#include <sstream>

#include "support/Hex.h"

using kw::ByteArray;
using kw::Msg;
using kw::SiteId;
using kwtest::hex;
using kwtest::toHex;

namespace {

// What parsing the bytes into a new message throws, if anything.
std::optional<kw::CommsException> parseFailure(const std::string& hexText) {
  try {
    Msg().fromByteArray(hex(hexText));
  } catch (const kw::CommsException& e) {
    return e;
  }
  return std::nullopt;
}

std::wstring text(const Msg& msg) {
  std::wstring out = L"stale";
  msg.toString(out);
  return out;
}

}  // namespace

TEST(Msg, TypeNamesAndSecurity) {
  EXPECT_STREQ(Msg::getTypeName(Msg::UNSPECIFIED), L"UNSPECIFIED");
  EXPECT_STREQ(Msg::getTypeName(Msg::HTTP_COMM_DEVICE), L"HTTP_COMM_DEVICE");
  EXPECT_STREQ(Msg::getTypeName(static_cast<Msg::MsgType>(15)), L"Unknown");
  EXPECT_STREQ(Msg::getTypeName(static_cast<Msg::MsgType>(-1)), L"Unknown");

  Msg msg;
  msg.removeIntAttribute(L"MsgType");
  EXPECT_EQ(msg.getType(), Msg::UNSPECIFIED);
  msg.setAttributeValue(L"MsgType", 99);
  EXPECT_EQ(static_cast<int>(msg.getType()), 99);
  msg.setAttributeValue(L"Signature", std::wstring(L"text does not count"));
  EXPECT_FALSE(msg.isSecure());
  msg.setAttributeValue(L"EncryptedData", new ByteArray());
  EXPECT_TRUE(msg.isSecure());
}

TEST(Msg, TextFormOrdersGroupsAndNames) {
  Msg msg;
  msg.setAttributeValue(L"b", -12);
  msg.setAttributeValue(L"Z", std::wstring(L"zed"));
  msg.setAttributeValue(L"A", new ByteArray("xyz", 3));
  msg.setAttributeValue(L"a", std::wstring(L""));
  EXPECT_EQ(text(msg), L"MsgType=0\r\nb=-12\r\nZ=zed\r\na=\r\nA=3\r\n");
  std::wostringstream stream;
  stream << msg;
  EXPECT_EQ(stream.str(), text(msg));
  Msg bare;
  bare.removeIntAttribute(L"MsgType");
  EXPECT_EQ(text(bare), L"");
}

TEST(Msg, EachMalformedInputFailsAtItsSiteWithItsText) {
  const std::pair<const char*, int> cases[] = {
      {"", SiteId::MsgIntTruncated},
      {"010000", SiteId::MsgIntTruncated},
      {"01000000", SiteId::MsgIntTruncated},
      {"01000000080000", SiteId::MsgIntTruncated},
      {"0100000008000000", 0},
      // The version is checked before the length.
      {"0200000007000000", SiteId::MsgUnsupportedVersion},
      {"0100000009000000", SiteId::MsgLengthMismatch},
      {"010000000d00000000000000", SiteId::MsgLengthMismatch},
      {"010000000b00000000000000", SiteId::MsgLengthMismatch},
      // An integer where a name belongs.
      {"0100000014000000 0100000004000000 07000000", SiteId::MsgAttributeNameNotText},
      // A name and nothing after it.
      {"0100000012000000 0200000002000000 4100", SiteId::MsgAttributeValueMissing},
      // Fewer than 8 bytes where an element starts.
      {"0100000015000000 0200000002000000 4100 010000", SiteId::MsgElementHeaderTruncated},
      // A payload running past the end, caught before the unknown type 9 is looked at.
      {"010000001a000000 0200000002000000 4100 09000000 00010000",
       SiteId::MsgElementPayloadTruncated},
      {"010000001e000000 0200000002000000 4100 0400000004000000 00000000",
       SiteId::MsgElementTypeUnknown},
      // Types far outside the known range, either sign.
      {"010000001a000000 0200000002000000 4100 0000008000000000", SiteId::MsgElementTypeUnknown},
      {"010000001a000000 0200000002000000 4100 ffffffff00000000", SiteId::MsgElementTypeUnknown},
      // An integer element that declares no payload still reads four bytes.
      {"010000001d000000 0200000002000000 4100 0100000000000000 000000", SiteId::MsgIntTruncated},
      // A negative payload length would move the reader backwards.
      {"0100000012000000 02000000feffffff 4100", SiteId::MsgElementPayloadTruncated},
      {"0100000010000000 0200000000000080", SiteId::MsgElementPayloadTruncated},
  };
  for (const auto& [input, id] : cases) {
    const auto failure = parseFailure(input);
    EXPECT_EQ(failure ? failure->getExceptionID() : 0, id) << input;
  }
  const auto unknown = parseFailure("010000001a000000 0200000002000000 4100 0400000000000000");
  ASSERT_TRUE(unknown);
  EXPECT_STREQ(unknown->getDescription(), L"Unknown element type");
  EXPECT_STREQ(unknown->getFunction(), L"Msg::getNextElement");
  EXPECT_STREQ(unknown->getFile(), L".\\src\\Msg");
  const auto shortInt = parseFailure("01000000");
  ASSERT_TRUE(shortInt);
  EXPECT_STREQ(shortInt->getDescription(), L"Insufficient bytes to read int");
  EXPECT_STREQ(shortInt->getFunction(), L"Msg::getNextInt");
}

TEST(Msg, OddStringLengthDropsTheLastByte) {
  // Name "A", string value of payload length 5, then a second attribute "B"=1.
  Msg msg;
  msg.removeIntAttribute(L"MsgType");
  msg.fromByteArray(
      hex("0100000035000000 0200000002000000 4100 0200000005000000 4800490021"
          "0200000002000000 4200 0100000004000000 01000000"));
  EXPECT_EQ(text(msg), L"B=1\r\nA=HI\r\n");
}

TEST(Msg, ParsedNamesJoinAndOverwriteHeldOnes) {
  Msg sent;
  int number = 0;
  for (const wchar_t* name : {L"A", L"C", L"E", L"\U0001F600"}) {
    sent.setAttributeValue(name, ++number);
    sent.setAttributeValue(name, std::wstring(name) + L" text");
  }
  sent.setAttributeValue(L"C", new ByteArray("newer", 5));
  ByteArray wire;
  sent.toByteArray(wire);

  Msg held;
  held.removeIntAttribute(L"MsgType");
  for (const wchar_t* name : {L"B", L"D", L"\uFFFF"}) {
    held.setAttributeValue(name, -1);
    held.setAttributeValue(name, std::wstring(L"held"));
  }
  held.setAttributeValue(L"C", new ByteArray("old", 3));
  held.fromByteArray(wire);
  // U+1F600 is the pair D83D DE00, which sorts before U+FFFF.
  EXPECT_EQ(text(held),
            L"A=1\r\nB=-1\r\nC=2\r\nD=-1\r\nE=3\r\nMsgType=0\r\n\U0001F600=4\r\n"
            L"\uFFFF=-1\r\n"
            L"A=A text\r\nB=held\r\nC=C text\r\nD=held\r\nE=E text\r\n"
            L"\U0001F600=\U0001F600 text\r\n\uFFFF=held\r\nC=5\r\n");
}

// A received message holds its arrays in memory of its own: each must still grow, shrink, be
// reused and be replaced as any array does, and a copy must not share it.
TEST(Msg, ArraysOfAReceivedMessageBehaveAsAnyOther) {
  Msg sent;
  for (const wchar_t* name : {L"A", L"B", L"C", L"D"})
    sent.setAttributeValue(name, new ByteArray(std::string(name, name + 1).data(), 1));
  sent.setAttributeValue(L"Text", std::wstring(L"t"));
  ByteArray wire;
  sent.toByteArray(wire);

  Msg got;
  got.fromByteArray(wire);
  Msg copy(got);
  ByteArray *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_TRUE(got.getAttributeValue(L"A", a));
  ASSERT_TRUE(got.getAttributeValue(L"B", b));
  ASSERT_TRUE(got.getAttributeValue(L"C", c));
  a->appendData(const_cast<char*>("bc"), 2);
  b->resize(3);
  b->getData()[1] = b->getData()[2] = 'x';
  c->clear();
  c->ensure(1);  // room it already has
  c->appendData(const_cast<char*>("z"), 1);
  got.toByteArray(*c);  // a lent array as the output buffer
  EXPECT_EQ(toHex(*a), "416263");
  EXPECT_EQ(toHex(*b), "427878");
  got.setAttributeValue(L"D", new ByteArray("new", 3));
  got.removeByteArrayAttribute(L"A");
  got.setAttributeValue(L"Text", std::wstring(L"replaced"));
  got.removeStringAttribute(L"Text");

  ByteArray* kept = nullptr;
  ASSERT_TRUE(copy.getAttributeValue(L"A", kept));
  EXPECT_EQ(toHex(*kept), "41");
  copy.fromByteArray(wire);  // a second block beside the first
  got = copy;
  got = got;
  ASSERT_TRUE(got.getAttributeValue(L"D", kept));
  EXPECT_EQ(toHex(*kept), "44");
}
