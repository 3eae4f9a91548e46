// Tests of Msg: the worked wire example, the text form, round trips, and each header and element
// fault with what parsing keeps.
#include <gtest/gtest.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <cstring>
#include <sstream>

#include "support/Hex.h"

using kw::ByteArray;
using kw::Msg;
using kw::SiteId;
using kwtest::hex;
using kwtest::toHex;

namespace {

struct SizedMsg : Msg {
  using Msg::getSerializedSizeRequirement;
};

// "MsgType" in UTF-16LE.
const char* kMsgTypeName = "4d00730067005400790070006500";

// The CommsException ID that parsing `bytes` into a new message throws, or 0.
int parseError(const ByteArray& bytes, Msg* into = nullptr) {
  Msg local;
  try {
    (into ? *into : local).fromByteArray(bytes);
  } catch (const kw::CommsException& e) {
    return e.getExceptionID();
  }
  return 0;
}

int parseError(const std::string& hexText) { return parseError(hex(hexText)); }

void expectSameAttributes(const Msg& a, const Msg& b) {
  std::wstring ta, tb;
  a.toString(ta);
  b.toString(tb);
  EXPECT_EQ(ta, tb);
  ByteArray ba, bb;
  a.toByteArray(ba);
  b.toByteArray(bb);
  EXPECT_EQ(toHex(ba), toHex(bb));
}

}  // namespace

TEST(Msg, WorkedExampleIs42Bytes) {
  SizedMsg msg;
  msg.setType(Msg::SYSTEM_STATE_CHANGE);
  EXPECT_EQ(msg.getSerializedSizeRequirement(), 42);
  ByteArray out;
  msg.toByteArray(out);
  EXPECT_EQ(toHex(out), std::string("010000002a000000") + "020000000e000000" + kMsgTypeName +
                            "0100000004000000" + "02000000");

  Msg back;
  back.setAttributeValue(L"Other", 7);
  back.fromByteArray(out);
  EXPECT_EQ(back.getType(), Msg::SYSTEM_STATE_CHANGE);
  int other = 0;
  EXPECT_TRUE(back.getAttributeValue(L"Other", other));  // parsing adds, never empties
  EXPECT_EQ(other, 7);
}

TEST(Msg, NoAttributesIsTheBareHeader) {
  SizedMsg msg;
  msg.removeIntAttribute(L"MsgType");
  ByteArray out;
  msg.toByteArray(out);
  EXPECT_EQ(toHex(out), "0100000008000000");
  EXPECT_EQ(msg.getSerializedSizeRequirement(), 8);
  std::wstring text = L"stale";
  msg.toString(text);
  EXPECT_EQ(text, L"");

  Msg parsed;
  parsed.removeIntAttribute(L"MsgType");
  parsed.fromByteArray(out);
  EXPECT_EQ(parsed.getIntAttributeCount() + parsed.getStringAttributeCount() +
                parsed.getByteArrayAttributeCount(),
            0);
  EXPECT_EQ(parsed.getType(), Msg::UNSPECIFIED);
}

TEST(Msg, TypeNamesAndSecurity) {
  EXPECT_STREQ(Msg::getTypeName(Msg::UNSPECIFIED), L"UNSPECIFIED");
  EXPECT_STREQ(Msg::getTypeName(Msg::HTTP_COMM_DEVICE), L"HTTP_COMM_DEVICE");
  EXPECT_STREQ(Msg::getTypeName(static_cast<Msg::MsgType>(15)), L"Unknown");
  EXPECT_STREQ(Msg::getTypeName(static_cast<Msg::MsgType>(-1)), L"Unknown");

  Msg msg;
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
  std::wstring text;
  msg.toString(text);
  EXPECT_EQ(text, L"MsgType=0\r\nb=-12\r\nZ=zed\r\na=\r\nA=3\r\n");
  std::wostringstream stream;
  stream << msg;
  EXPECT_EQ(stream.str(), text);
}

TEST(Msg, RoundTripKeepsEveryKindOfAttribute) {
  Msg msg;
  msg.setType(Msg::PLUGIN_INFO);
  msg.setAttributeValue(L"", 5);
  msg.setAttributeValue(L"Same", -2147483647 - 1);
  msg.setAttributeValue(L"same", std::wstring(L"lower"));
  msg.setAttributeValue(L"Same", std::wstring(L"int and string of one name"));
  msg.setAttributeValue(L"Empty", std::wstring());
  msg.setAttributeValue(L"NoBytes", new ByteArray());
  msg.setAttributeValue(L"Bytes", new ByteArray("\0\x01\xff", 3));
  msg.setAttributeValue(L"Text", std::wstring(L"caf\u00e9 \U0001F600"));

  ByteArray wire;
  msg.toByteArray(wire);
  Msg back;
  back.fromByteArray(wire);
  expectSameAttributes(msg, back);
  int value = 0;
  ASSERT_TRUE(back.getAttributeValue(L"Same", value));
  EXPECT_EQ(value, -2147483647 - 1);
  std::wstring text;
  ASSERT_TRUE(back.getAttributeValue(L"Same", text));
  EXPECT_EQ(text, L"int and string of one name");
  ASSERT_TRUE(back.getAttributeValue(L"Text", text));
  EXPECT_EQ(text, L"caf\u00e9 \U0001F600");
  ByteArray* bytes = nullptr;
  ASSERT_TRUE(back.getAttributeValue(L"NoBytes", bytes));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes->getSize(), 0);
}

TEST(Msg, SerialisingReservesExactlyOnce) {
  Msg msg;
  msg.setAttributeValue(L"Blob", new ByteArray(std::string(1000, 'x').data(), 1000));
  msg.setAttributeValue(L"Name", std::wstring(300, L'n'));
  ByteArray out("old contents", 12);
  msg.toByteArray(out);
  EXPECT_EQ(out.getSize(), static_cast<SizedMsg&>(msg).getSerializedSizeRequirement());
  // The header's length field agrees with what was written.
  int length = 0;
  std::memcpy(&length, out.getData() + 4, 4);
  EXPECT_EQ(length, out.getSize());
}

TEST(Msg, HeaderFaults) {
  EXPECT_EQ(parseError(""), SiteId::MsgIntTruncated);
  EXPECT_EQ(parseError("010000"), SiteId::MsgIntTruncated);
  EXPECT_EQ(parseError("01000000"), SiteId::MsgIntTruncated);
  EXPECT_EQ(parseError("01000000080000"), SiteId::MsgIntTruncated);
  EXPECT_EQ(parseError("0100000008000000"), 0);
  // The version is checked before the length.
  EXPECT_EQ(parseError("0200000007000000"), SiteId::MsgUnsupportedVersion);
  EXPECT_EQ(parseError("0100000009000000"), SiteId::MsgLengthMismatch);
  EXPECT_EQ(parseError("010000000d00000000000000"), SiteId::MsgLengthMismatch);
  EXPECT_EQ(parseError("010000000b00000000000000"), SiteId::MsgLengthMismatch);
}

TEST(Msg, ElementFaults) {
  // An integer where a name belongs.
  EXPECT_EQ(parseError("0100000014000000 0100000004000000 07000000"),
            SiteId::MsgAttributeNameNotText);
  // A name and nothing after it.
  EXPECT_EQ(parseError("0100000012000000 0200000002000000 4100"), SiteId::MsgAttributeValueMissing);
  // Fewer than 8 bytes where an element starts.
  EXPECT_EQ(parseError("0100000015000000 0200000002000000 4100 010000"),
            SiteId::MsgElementHeaderTruncated);
  // A payload running past the end, caught before the unknown type 9 is looked at.
  EXPECT_EQ(parseError("010000001a000000 0200000002000000 4100 09000000 00010000"),
            SiteId::MsgElementPayloadTruncated);
  EXPECT_EQ(parseError("010000001e000000 0200000002000000 4100 0400000004000000 00000000"),
            SiteId::MsgElementTypeUnknown);
  // An integer element that declares no payload still reads four bytes.
  EXPECT_EQ(parseError("010000001d000000 0200000002000000 4100 0100000000000000 000000"),
            SiteId::MsgIntTruncated);
  // A negative payload length would move the reader backwards.
  EXPECT_EQ(parseError("0100000012000000 02000000feffffff 4100"),
            SiteId::MsgElementPayloadTruncated);
  EXPECT_EQ(parseError("0100000010000000 0200000000000080"), SiteId::MsgElementPayloadTruncated);
}

TEST(Msg, FaultsKeepWhatWasParsedAndNameTheirSite) {
  Msg msg;
  ByteArray bytes =
      hex("0100000030000000 0200000002000000 4100 0100000004000000 05000000"
          "0200000002000000 4200 0400000000000000");
  try {
    msg.fromByteArray(bytes);
    FAIL() << "parsed a message with an unknown element type";
  } catch (const kw::CommsException& e) {
    EXPECT_EQ(e.getExceptionID(), SiteId::MsgElementTypeUnknown);
    EXPECT_STREQ(e.getDescription(), L"Unknown element type");
    EXPECT_STREQ(e.getFunction(), L"Msg::getNextElement");
    EXPECT_STREQ(e.getFile(), L".\\src\\Msg");
  }
  int a = 0;
  EXPECT_TRUE(msg.getAttributeValue(L"A", a));
  EXPECT_EQ(a, 5);

  try {
    Msg().fromByteArray(hex("01000000"));
    FAIL() << "parsed a bare version field";
  } catch (const kw::CommsException& e) {
    EXPECT_STREQ(e.getDescription(), L"Insufficient bytes to read int");
    EXPECT_STREQ(e.getFunction(), L"Msg::getNextInt");
  }
}

TEST(Msg, OddStringLengthDropsTheLastByte) {
  // Name "A", string value of payload length 5, then a second attribute "B"=1.
  Msg msg;
  msg.fromByteArray(
      hex("0100000035000000 0200000002000000 4100 0200000005000000 4800490021"
          "0200000002000000 4200 0100000004000000 01000000"));
  std::wstring text;
  ASSERT_TRUE(msg.getAttributeValue(L"A", text));
  EXPECT_EQ(text, L"HI");
  int b = 0;
  EXPECT_TRUE(msg.getAttributeValue(L"B", b));
  EXPECT_EQ(b, 1);
}

TEST(Msg, LaterAttributesOverwriteEarlierOnes) {
  Msg msg;
  msg.setAttributeValue(L"Keep", std::wstring(L"kept"));
  msg.setAttributeValue(L"A", new ByteArray("old", 3));
  msg.fromByteArray(
      hex("010000002f000000 0200000002000000 4100 0300000001000000 01"
          "0200000002000000 4100 0300000002000000 0203"));
  ByteArray* a = nullptr;
  ASSERT_TRUE(msg.getAttributeValue(L"A", a));
  EXPECT_EQ(toHex(*a), "0203");
  EXPECT_TRUE(msg.containsStringAttribute(L"Keep"));
}

TEST(Msg, CopiesAreDeep) {
  Msg original;
  original.setAttributeValue(L"Bytes", new ByteArray("abc", 3));
  Msg copy(original);
  Msg assigned;
  assigned.setAttributeValue(L"Gone", 1);
  assigned = original;
  assigned = assigned;
  EXPECT_FALSE(assigned.containsIntAttribute(L"Gone"));
  original.setAttributeValue(L"Bytes", new ByteArray("x", 1));
  ByteArray* value = nullptr;
  ASSERT_TRUE(copy.getAttributeValue(L"Bytes", value));
  EXPECT_EQ(value->getSize(), 3);
  ASSERT_TRUE(assigned.getAttributeValue(L"Bytes", value));
  EXPECT_EQ(value->getSize(), 3);
}

TEST(Msg, ParsedNamesFallBetweenHeldOnesAndAReusedBufferHoldsOnlyTheNewBytes) {
  Msg sent;
  int number = 0;
  for (const wchar_t* name : {L"A", L"C", L"E", L"\U0001F600"}) {
    sent.setAttributeValue(name, ++number);
    sent.setAttributeValue(name, std::wstring(name) + L" text");
  }
  ByteArray wire;
  Msg big;
  big.setAttributeValue(L"Blob", new ByteArray(std::string(500, 'x').data(), 500));
  big.toByteArray(wire);  // leaves a larger block behind
  sent.toByteArray(wire);
  ASSERT_EQ(wire.getSize(), static_cast<SizedMsg&>(sent).getSerializedSizeRequirement());

  Msg held;
  held.removeIntAttribute(L"MsgType");
  for (const wchar_t* name : {L"B", L"D", L"\uFFFF"}) {
    held.setAttributeValue(name, -1);
    held.setAttributeValue(name, std::wstring(L"held"));
  }
  held.fromByteArray(wire);
  std::wstring text;
  held.toString(text);
  // U+1F600 is the pair D83D DE00, which sorts before U+FFFF.
  EXPECT_EQ(text,
            L"A=1\r\nB=-1\r\nC=2\r\nD=-1\r\nE=3\r\nMsgType=0\r\n\U0001F600=4\r\n"
            L"\uFFFF=-1\r\n"
            L"A=A text\r\nB=held\r\nC=C text\r\nD=held\r\nE=E text\r\n"
            L"\U0001F600=\U0001F600 text\r\n\uFFFF=held\r\n");
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
  ByteArray* a = nullptr;
  ByteArray* b = nullptr;
  ByteArray* c = nullptr;
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
  ASSERT_TRUE(got.getAttributeValue(L"D", kept));
  EXPECT_EQ(toHex(*kept), "44");
}
