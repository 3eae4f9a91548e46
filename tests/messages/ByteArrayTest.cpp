// Tests of ByteArray: empty arrays, little-endian appends, surrogate pairs, buffer reuse, growth,
// XOR, wide views and copies.
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

TEST(ByteArray, NewAndClearedArraysAreEmptyAndEqual) {
  ByteArray a, b;
  EXPECT_EQ(a.getSize(), 0);
  EXPECT_EQ(a.getData(), nullptr);
  EXPECT_TRUE(a == b);

  ByteArray filled("abc", 3);
  filled.clear();
  EXPECT_NE(filled.getData(), nullptr);
  EXPECT_TRUE(filled == a);
  EXPECT_FALSE(filled != a);
}

TEST(ByteArray, CopyDataWithNothingLeavesNoBlock) {
  ByteArray a("abc", 3);
  a.copyData("xyz", 0);
  EXPECT_EQ(a.getData(), nullptr);
  a.copyData(nullptr, 5);
  EXPECT_EQ(a.getSize(), 0);
  EXPECT_EQ(a.getData(), nullptr);
  ByteArray fromNull(nullptr, 4);
  EXPECT_EQ(fromNull.getData(), nullptr);
}

TEST(ByteArray, WideTextAndIntegersAppendLittleEndian) {
  ByteArray a;
  a += std::wstring(L"ab");
  EXPECT_EQ(bytes(a), std::string("a\0b\0", 4));
  a.clear();
  a += 1;
  a += -1;
  a += 0x01020304u;
  EXPECT_EQ(bytes(a), std::string("\x01\0\0\0\xFF\xFF\xFF\xFF\x04\x03\x02\x01", 12));
  EXPECT_EQ(ByteArray(std::wstring()).getSize(), 0);
  EXPECT_EQ(ByteArray(std::wstring()).getData(), nullptr);
}

TEST(ByteArray, NonBmpTextBecomesASurrogatePairAndComesBack) {
  std::wstring text = L"x";
#if WCHAR_MAX > 0xFFFF
  text += static_cast<wchar_t>(0x1F600);
#else
  text += L"\xD83D\xDE00";
#endif
  ByteArray a(text);
  EXPECT_EQ(bytes(a), std::string("x\0\x3D\xD8\x00\xDE", 6));
  EXPECT_EQ(a.w2w(), text);
}

TEST(ByteArray, GetBufferReusesOnlyAtTheSameSize) {
  ByteArray a("hello", 5);
  char* block = a.getData();
  EXPECT_EQ(a.getBuffer(5), block);
  EXPECT_EQ(bytes(a), "hello");
  char* fresh = a.getBuffer(3);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(a.getSize(), 3);
  std::memcpy(fresh, "xyz", 3);
  EXPECT_EQ(bytes(a), "xyz");
}

TEST(ByteArray, EnsureReservesWithoutChangingSizeAndAppendsFill) {
  ByteArray a("ab", 2);
  a.clear();
  a.ensure(12);
  char* block = a.getData();
  EXPECT_EQ(a.getSize(), 0);
  a.ensure(4);
  for (int i = 0; i < 3; ++i) a += i;
  EXPECT_EQ(a.getData(), block);
  EXPECT_EQ(a.getSize(), 12);
}

TEST(ByteArray, ResizeKeepsThePrefix) {
  ByteArray a("abcde", 5);
  a.resize(2);
  EXPECT_EQ(bytes(a), "ab");
  a.resize(0);
  EXPECT_EQ(a.getData(), nullptr);
}

TEST(ByteArray, XorUsesTheKeyOnce) {
  ByteArray a("\x0F\x0F\x0F\x0F\x0F", 5);
  a.xor_(ByteArray("\xFF\x01", 2));
  EXPECT_EQ(bytes(a), "\xF0\x0E\x0F\x0F\x0F");
  a.xor_(ByteArray());
  EXPECT_EQ(bytes(a), "\xF0\x0E\x0F\x0F\x0F");
}

TEST(ByteArray, WideViews) {
  ByteArray a("A\0\xE9", 3);
  EXPECT_EQ(a.a2w(), std::wstring(L"A\0\u00e9", 3));
  ByteArray b("A\0B\0C", 5);
  EXPECT_EQ(b.w2w(), L"AB");
  EXPECT_EQ(ByteArray().w2w(), L"");
}

TEST(ByteArray, CopiesNeverShareAndSelfOperationsAreSafe) {
  ByteArray a("abc", 3);
  ByteArray b(a);
  b.getData()[0] = 'z';
  EXPECT_EQ(bytes(a), "abc");
  a = a;
  EXPECT_EQ(bytes(a), "abc");
  a += a;
  EXPECT_EQ(bytes(a), "abcabc");
  ByteArray sum = ByteArray("x", 1) + ByteArray("yz", 2);
  EXPECT_EQ(bytes(sum), "xyz");
  EXPECT_FALSE(ByteArray("ab", 2) == ByteArray("ac", 2));
}
