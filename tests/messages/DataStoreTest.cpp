// Tests of DataStore: separate case-sensitive collections, code-unit order, owned byte arrays, and
// many attributes set in any order.
#include <gtest/gtest.h>
#include <kw/DataStore.h>
#include <kw/Msg.h>

#include <string>

using kw::ByteArray;
using kw::DataStore;

TEST(DataStore, MapsAreSeparateCaseSensitiveAndInCodeUnitOrder) {
  DataStore store;
  int i = 0;
  std::wstring s;
  ByteArray* b = nullptr;
  EXPECT_FALSE(store.getAttributeValue(0u, i));
  EXPECT_FALSE(store.getAttributeValue(0u, s));
  EXPECT_FALSE(store.getAttributeValue(0u, b));
  EXPECT_FALSE(store.getAttributeValue(L"x", i));

  store.setAttributeValue(L"b", 1);
  store.setAttributeValue(L"b", std::wstring(L"one"));
  store.setAttributeValue(L"a", 2);
  store.setAttributeValue(L"B", 3);
  // A surrogate pair (D800..DBFF) sorts before U+E000.
  store.setAttributeValue(L"\uE000", 4);
  store.setAttributeValue(L"\U00010000", 5);
  EXPECT_EQ(store.getStringAttributeCount(), 1);
  const int expected[] = {3, 2, 1, 5, 4};
  for (unsigned int index = 0; index < 5; ++index) {
    ASSERT_TRUE(store.getAttributeValue(index, i));
    EXPECT_EQ(i, expected[index]) << "index " << index;
  }
  EXPECT_FALSE(store.getAttributeValue(5u, i));
  ASSERT_TRUE(store.getAttributeValue(L"b", s));
  EXPECT_EQ(s, L"one");
  EXPECT_FALSE(store.containsStringAttribute(L"B"));
  EXPECT_TRUE(store.containsIntAttribute(std::wstring(L"B")));
}

// Names are compared several units at a time, when set and when parsed: a difference in any unit,
// a unit with its top bit set, or a prefix must still order by code unit.
TEST(DataStore, LongNamesOrderByCodeUnitWhereverTheyDiffer) {
  const std::pair<const wchar_t*, const wchar_t*> lowerHigher[] = {
      {L"abcdefgA", L"abcdefgB"},
      {L"abcdeA", L"abcdeB"},
      {L"abcde\u7fff", L"abcde\u8000"},
      {L"abcdefgh\u7fff", L"abcdefgh\uffff"},
      {L"abcd", L"abcda"},
      {L"abcdefgh", L"abcdefgh\u0001"},
  };
  for (const auto& [lower, higher] : lowerHigher) {
    kw::Msg sent;
    sent.removeIntAttribute(L"MsgType");
    sent.setAttributeValue(higher, 2);
    sent.setAttributeValue(lower, 1);
    ByteArray bytes;
    sent.toByteArray(bytes);
    kw::Msg parsed;
    parsed.removeIntAttribute(L"MsgType");
    parsed.fromByteArray(bytes);
    for (kw::Msg* msg : {&sent, &parsed}) {
      int first = 0, second = 0;
      ASSERT_TRUE(msg->getAttributeValue(0u, first) && msg->getAttributeValue(higher, second));
      EXPECT_EQ(first * 10 + second, 12)
          << (msg == &sent ? "set" : "parsed") << ", row " << (&lower - &lowerHigher[0].first) / 2;
    }
  }
}

TEST(DataStore, ByteArraysAreOwnedAndCopiedDeeply) {
  DataStore store;
  store.setAttributeValue(L"Blob", new ByteArray("one", 3));
  store.setAttributeValue(L"Blob", new ByteArray("two!", 4));  // the old array is freed
  store.setAttributeValue(L"Null", static_cast<ByteArray*>(nullptr));
  ByteArray* value = reinterpret_cast<ByteArray*>(1);
  ASSERT_TRUE(store.getAttributeValue(L"Null", value));
  EXPECT_EQ(value, nullptr);

  DataStore copy(store);
  EXPECT_FALSE(copy.containsByteArrayAttribute(L"Null"));
  copy.removeByteArrayAttribute(L"Blob");
  copy.removeByteArrayAttribute(L"Absent");
  DataStore assigned;
  assigned.setAttributeValue(L"Dropped", 1);
  assigned = store;
  EXPECT_FALSE(assigned.containsIntAttribute(L"Dropped"));
  DataStore& self = store;
  store = self;
  EXPECT_EQ(store.getByteArrayAttributeCount(), 2);
  for (const DataStore* holder : {&store, &assigned}) {
    ASSERT_TRUE(holder->getAttributeValue(L"Blob", value));
    EXPECT_EQ(value->getSize(), 4);
  }
}

TEST(DataStore, ManyAttributesSetInAnyOrderStaySortedAndFindable) {
  DataStore store;
  const int n = 200;
  auto name = [](int i) { return L"k" + std::to_wstring(1000 + i); };
  auto text = [](int i) {
    return i % 3 == 1 ? std::wstring(40, L'z') : std::wstring(i % 7, L'a' + i % 26);
  };
  // 37 and 200 share no factor, so this visits every number once, out of order.
  for (int step = 0; step < n; ++step) {
    int i = step * 37 % n;
    store.setAttributeValue(name(i), i);
    store.setAttributeValue(name(i), std::wstring(i % 7, L'a' + i % 26));
    store.setAttributeValue(name(i), new ByteArray(std::string(i, 'b').data(), i));
  }
  for (int i = 0; i < n; i += 3) {
    store.removeIntAttribute(name(i));
    store.removeStringAttribute(name(i));
    store.removeByteArrayAttribute(name(i));
  }
  for (int i = 1; i < n; i += 3) store.setAttributeValue(name(i), text(i));

  const DataStore copy(store);
  ASSERT_EQ(copy.getByteArrayAttributeCount(), n - (n + 2) / 3);
  unsigned int index = 0;
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    int number = -1;
    std::wstring value;
    ByteArray* bytes = nullptr;
    const bool kept = i % 3 != 0;
    EXPECT_EQ(copy.getAttributeValue(name(i), number), kept);
    EXPECT_EQ(copy.containsStringAttribute(name(i)), kept);
    EXPECT_EQ(copy.getAttributeValue(name(i), value), kept);
    EXPECT_EQ(copy.getAttributeValue(name(i), bytes), kept);
    if (!kept) continue;
    EXPECT_EQ(number, i);
    EXPECT_EQ(value, text(i));
    EXPECT_EQ(bytes->getSize(), i);
    // Reads by position follow the names' order.
    ASSERT_TRUE(store.getAttributeValue(index, number));
    ASSERT_TRUE(store.getAttributeValue(index, value));
    ASSERT_TRUE(store.getAttributeValue(index++, bytes));
    EXPECT_EQ(number, i);
    EXPECT_EQ(value, text(i));
    EXPECT_EQ(bytes->getSize(), i);
  }
}

TEST(DataStore, EmptyNamesAndTextsAndTextsThatGrowAndShrink) {
  DataStore store;
  store.setAttributeValue(L"", 0);
  store.setAttributeValue(L"", new ByteArray());
  std::wstring text = L"stale";
  for (const std::wstring& value :
       {std::wstring(), std::wstring(100, L'x'), std::wstring(L"long text \U0001F600"),
        std::wstring(L"s"), std::wstring()}) {
    store.setAttributeValue(L"", value);
    ASSERT_TRUE(store.getAttributeValue(L"", text));
    EXPECT_EQ(text, value);
  }
  EXPECT_TRUE(store.containsIntAttribute(L""));
  EXPECT_TRUE(store.containsByteArrayAttribute(L""));
  // The empty name sorts first.
  store.setAttributeValue(L"T", std::wstring(L"long text \U0001F600"));
  ASSERT_TRUE(store.getAttributeValue(0u, text));
  EXPECT_EQ(text, L"");
}
