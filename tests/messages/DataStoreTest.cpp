#include <gtest/gtest.h>
#include <kw/DataStore.h>

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
