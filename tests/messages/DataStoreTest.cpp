// Tests of DataStore: separate case-sensitive collections, code-unit order, owned byte arrays, and
// many attributes set in any order.
#include <gtest/gtest.h>
#include <kw/DataStore.h>

#include <cwchar>
#include <string>

using kw::ByteArray;
using kw::DataStore;

TEST(DataStore, MapsAreSeparateAndCaseSensitive) {
  DataStore store;
  int i = 0;
  std::wstring s;
  ByteArray* b = nullptr;
  EXPECT_FALSE(store.getAttributeValue(0u, i));
  EXPECT_FALSE(store.getAttributeValue(0u, s));
  EXPECT_FALSE(store.getAttributeValue(0u, b));
  EXPECT_FALSE(store.getAttributeValue(L"x", i));

  store.setAttributeValue(L"Name", 1);
  store.setAttributeValue(L"Name", std::wstring(L"one"));
  store.setAttributeValue(L"name", 2);
  EXPECT_EQ(store.getIntAttributeCount(), 2);
  EXPECT_EQ(store.getStringAttributeCount(), 1);
  ASSERT_TRUE(store.getAttributeValue(L"Name", i));
  EXPECT_EQ(i, 1);
  ASSERT_TRUE(store.getAttributeValue(L"name", i));
  EXPECT_EQ(i, 2);
  ASSERT_TRUE(store.getAttributeValue(L"Name", s));
  EXPECT_EQ(s, L"one");
  EXPECT_FALSE(store.containsStringAttribute(L"name"));
  EXPECT_TRUE(store.containsIntAttribute(std::wstring(L"name")));
}

TEST(DataStore, IndexFollowsCodeUnitOrder) {
  DataStore store;
  store.setAttributeValue(L"b", 1);
  store.setAttributeValue(L"a", 2);
  store.setAttributeValue(L"B", 3);
  // Outside the BMP: a surrogate pair (D800..DBFF) sorts before U+E000.
  store.setAttributeValue(L"\uE000", 4);
  store.setAttributeValue(L"\U00010000", 5);
  const int expected[] = {3, 2, 1, 5, 4};
  for (unsigned int index = 0; index < 5; ++index) {
    int value = 0;
    ASSERT_TRUE(store.getAttributeValue(index, value));
    EXPECT_EQ(value, expected[index]) << "index " << index;
  }
  int value = 0;
  EXPECT_FALSE(store.getAttributeValue(5u, value));
}

TEST(DataStore, ByteArraysAreOwnedAndCopiedDeeply) {
  DataStore store;
  store.setAttributeValue(L"Blob", new ByteArray("one", 3));
  store.setAttributeValue(L"Blob", new ByteArray("two!", 4));  // the old array is freed
  store.setAttributeValue(L"Null", static_cast<ByteArray*>(nullptr));
  EXPECT_TRUE(store.containsByteArrayAttribute(L"Null"));
  ByteArray* value = reinterpret_cast<ByteArray*>(1);
  ASSERT_TRUE(store.getAttributeValue(L"Null", value));
  EXPECT_EQ(value, nullptr);

  DataStore copy(store);
  EXPECT_FALSE(copy.containsByteArrayAttribute(L"Null"));
  copy.removeByteArrayAttribute(L"Blob");
  copy.removeByteArrayAttribute(L"Absent");
  ASSERT_TRUE(store.getAttributeValue(L"Blob", value));
  EXPECT_EQ(value->getSize(), 4);

  DataStore assigned;
  assigned.setAttributeValue(L"Dropped", 1);
  assigned = store;
  EXPECT_FALSE(assigned.containsIntAttribute(L"Dropped"));
  ASSERT_TRUE(assigned.getAttributeValue(L"Blob", value));
  EXPECT_NE(value, nullptr);

  DataStore& self = store;
  store = self;
  EXPECT_EQ(store.getByteArrayAttributeCount(), 2);
  ASSERT_TRUE(store.getAttributeValue(L"Blob", value));
  EXPECT_EQ(value->getSize(), 4);
}

TEST(DataStore, ManyAttributesSetInAnyOrderStaySortedAndFindable) {
  DataStore store;
  const int n = 200;
  auto name = [](int i) {
    wchar_t text[16];
    std::swprintf(text, 16, L"k%03d", i);
    return std::wstring(text);
  };
  // 37 and 200 share no factor, so this visits every number once, out of order.
  for (int step = 0; step < n; ++step) {
    int i = step * 37 % n;
    store.setAttributeValue(name(i), i);
    store.setAttributeValue(name(i), std::wstring(static_cast<std::size_t>(i % 7), L'a' + i % 26));
    std::string bytes(static_cast<std::size_t>(i), 'b');
    store.setAttributeValue(name(i), new ByteArray(bytes.data(), i));
  }
  for (int i = 0; i < n; i += 3) {
    store.removeIntAttribute(name(i));
    store.removeStringAttribute(name(i));
    store.removeByteArrayAttribute(name(i));
  }
  for (int i = 1; i < n; i += 3) store.setAttributeValue(name(i), std::wstring(40, L'z'));

  const int kept = n - (n + 2) / 3;
  ASSERT_EQ(store.getIntAttributeCount(), kept);
  ASSERT_EQ(store.getStringAttributeCount(), kept);
  ASSERT_EQ(store.getByteArrayAttributeCount(), kept);
  unsigned int index = 0;
  for (int i = 0; i < n; ++i) {
    int number = -1;
    std::wstring text;
    ByteArray* bytes = nullptr;
    if (i % 3 == 0) {
      EXPECT_FALSE(store.getAttributeValue(name(i), number)) << i;
      EXPECT_FALSE(store.containsStringAttribute(name(i))) << i;
      continue;
    }
    std::wstring expected = i % 3 == 1
                                ? std::wstring(40, L'z')
                                : std::wstring(static_cast<std::size_t>(i % 7), L'a' + i % 26);
    ASSERT_TRUE(store.getAttributeValue(name(i), number));
    EXPECT_EQ(number, i);
    ASSERT_TRUE(store.getAttributeValue(name(i), text));
    EXPECT_EQ(text, expected);
    ASSERT_TRUE(store.getAttributeValue(name(i), bytes));
    EXPECT_EQ(bytes->getSize(), i);
    // Reads by position follow the names' order.
    ASSERT_TRUE(store.getAttributeValue(index, number));
    EXPECT_EQ(number, i);
    ASSERT_TRUE(store.getAttributeValue(index, text));
    EXPECT_EQ(text, expected);
    ASSERT_TRUE(store.getAttributeValue(index, bytes));
    EXPECT_EQ(bytes->getSize(), i);
    ++index;
  }

  DataStore copy(store);
  std::wstring text;
  ASSERT_TRUE(copy.getAttributeValue(name(197), text));
  EXPECT_EQ(text, std::wstring(197 % 7, L'a' + 197 % 26));
  EXPECT_EQ(copy.getByteArrayAttributeCount(), kept);
}

TEST(DataStore, EmptyNamesAndTextsAndTextsThatGrowAndShrink) {
  DataStore store;
  store.setAttributeValue(L"", std::wstring());
  store.setAttributeValue(L"", 0);
  store.setAttributeValue(L"", new ByteArray());
  std::wstring text = L"stale";
  ASSERT_TRUE(store.getAttributeValue(L"", text));
  EXPECT_EQ(text, L"");
  EXPECT_TRUE(store.containsIntAttribute(L""));
  EXPECT_TRUE(store.containsByteArrayAttribute(L""));

  store.setAttributeValue(L"", std::wstring(100, L'x'));
  ASSERT_TRUE(store.getAttributeValue(L"", text));
  EXPECT_EQ(text, std::wstring(100, L'x'));
  store.setAttributeValue(L"T", std::wstring(L"long text \U0001F600"));
  store.setAttributeValue(L"T", std::wstring(L"s"));
  ASSERT_TRUE(store.getAttributeValue(L"T", text));
  EXPECT_EQ(text, L"s");
  store.setAttributeValue(L"T", std::wstring());
  ASSERT_TRUE(store.getAttributeValue(L"T", text));
  EXPECT_EQ(text, L"");
  // The empty name sorts first.
  ASSERT_TRUE(store.getAttributeValue(0u, text));
  EXPECT_EQ(text, std::wstring(100, L'x'));
}
