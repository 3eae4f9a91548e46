// Tests of ByteArray: empty arrays, little-endian appends, surrogate pairs, buffers, growth, XOR,
// wide views and copies.
#include <gtest/gtest.h>
#include <kw/ByteArray.h>

#include <cstring>
#include <string>

using kw::ByteArray;

namespace {

std::string bytes(const ByteArray& a) {
  return std::string(a.getData() ? a.getData() : "", a.getSize());
}

}  // namespace

TEST(ByteArray, EmptyArraysHoldNoBlockAndAreEqual) {
  ByteArray a, filled("abc", 3), zero("xyz", 0), fromNull(nullptr, 4);
  EXPECT_EQ(a.getData(), nullptr);
  EXPECT_EQ(zero.getData(), nullptr);
  EXPECT_EQ(fromNull.getData(), nullptr);
  EXPECT_EQ(ByteArray(std::wstring()).getData(), nullptr);
  filled.clear();  // keeps its block, still equal to one without
  EXPECT_NE(filled.getData(), nullptr);
  EXPECT_TRUE(filled == a);
  EXPECT_FALSE(filled != a);
  filled.copyData(nullptr, 5);
  EXPECT_EQ(filled.getData(), nullptr);
  EXPECT_FALSE(ByteArray("ab", 2) == ByteArray("ac", 2));
}

TEST(ByteArray, WideTextAndIntegersAppendLittleEndian) {
  ByteArray a;
  a += std::wstring(L"ab");
  a += 1;
  a += -1;
  a += 0x01020304u;
  EXPECT_EQ(bytes(a), std::string("a\0b\0\x01\0\0\0\xFF\xFF\xFF\xFF\x04\x03\x02\x01", 16));
  std::wstring text = L"x";
#if WCHAR_MAX > 0xFFFF
  text += static_cast<wchar_t>(0x1F600);
#else
  text += L"\xD83D\xDE00";
#endif
  ByteArray pair(text);
  EXPECT_EQ(bytes(pair), std::string("x\0\x3D\xD8\x00\xDE", 6));
  EXPECT_EQ(pair.w2w(), text);
}

TEST(ByteArray, BuffersKeepContentsOnlyAtTheSameSizeAndGrowthKeepsThePrefix) {
  ByteArray a("hello", 5);
  EXPECT_EQ(std::string(a.getBuffer(5), 5), "hello");
  std::memcpy(a.getBuffer(3), "xyz", 3);
  EXPECT_EQ(bytes(a), "xyz");
  a.clear();
  a.ensure(12);
  a.ensure(4);  // never shrinks
  EXPECT_EQ(a.getSize(), 0);
  for (int i = 0; i < 3; ++i) a += i;
  EXPECT_EQ(bytes(a), std::string("\0\0\0\0\1\0\0\0\2\0\0\0", 12));
  a.resize(2);
  EXPECT_EQ(bytes(a), std::string("\0\0", 2));
  a.resize(0);
  EXPECT_EQ(a.getData(), nullptr);
}

TEST(ByteArray, XorUsesTheKeyOnce) {
  ByteArray a("\x0F\x0F\x0F\x0F\x0F", 5);
  a.xor_(ByteArray("\xFF\x01", 2));
  a.xor_(ByteArray());
  EXPECT_EQ(bytes(a), "\xF0\x0E\x0F\x0F\x0F");
}

TEST(ByteArray, WideViews) {
  EXPECT_EQ(ByteArray("A\0\xE9", 3).a2w(), std::wstring(L"A\0\u00e9", 3));
  EXPECT_EQ(ByteArray("A\0B\0C", 5).w2w(), L"AB");
  EXPECT_EQ(ByteArray().w2w(), L"");
}

TEST(ByteArray, CopiesNeverShareAndSelfOperationsAreSafe) {
  ByteArray a("abc", 3);
  ByteArray b(a);
  b.getData()[0] = 'z';
  EXPECT_EQ(bytes(a), "abc");
  a = a;
  a += a;
  EXPECT_EQ(bytes(a), "abcabc");
  EXPECT_EQ(bytes(ByteArray("x", 1) + ByteArray("yz", 2)), "xyz");
}
