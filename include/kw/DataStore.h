#pragma once

#include <kw/ByteArray.h>
#include <kw/Platform.h>
#include <kw/Utf16Less.h>

#include <map>
#include <string>

namespace kw {

// Named int, string and byte-array attributes in three maps ordered by the
// UTF-16 code units of their names. The store owns its ByteArray values.
class KW_API DataStore {
 public:
  // The int attributes by name.
  using IntMap = std::map<std::wstring, int, Utf16Less>;
  // The string attributes by name.
  using StringMap = std::map<std::wstring, std::wstring, Utf16Less>;
  // The byte-array attributes by name; the store owns the arrays.
  using ByteArrayMap = std::map<std::wstring, ByteArray*, Utf16Less>;

  DataStore();
  // A deep copy: byte arrays are duplicated.
  DataStore(const DataStore& other);
  virtual ~DataStore();
  // Replaces every attribute with a deep copy of the other's.
  DataStore& operator=(const DataStore& other);

  // The number of int attributes.
  int getIntAttributeCount() const { return static_cast<int>(m_mapInts.size()); }
  // The number of string attributes.
  int getStringAttributeCount() const { return static_cast<int>(m_mapStrings.size()); }
  // The number of byte-array attributes.
  int getByteArrayAttributeCount() const { return static_cast<int>(m_mapByteArrays.size()); }

  // Whether an int attribute has this name.
  bool containsIntAttribute(const wchar_t* name) const;
  // Whether an int attribute has this name.
  bool containsIntAttribute(const std::wstring& name) const;
  // Whether a string attribute has this name.
  bool containsStringAttribute(const wchar_t* name) const;
  // Whether a string attribute has this name.
  bool containsStringAttribute(const std::wstring& name) const;
  // Whether a byte-array attribute has this name.
  bool containsByteArrayAttribute(const wchar_t* name) const;
  // Whether a byte-array attribute has this name.
  bool containsByteArrayAttribute(const std::wstring& name) const;

  // The int attribute `name`; false (value untouched) when absent.
  bool getAttributeValue(const std::wstring& name, int& value) const;
  // The string attribute `name`; false (value untouched) when absent.
  bool getAttributeValue(const std::wstring& name, std::wstring& value) const;
  // Lends the stored pointer; the store keeps owning it.
  bool getAttributeValue(const std::wstring& name, ByteArray*& value) const;

  // The int attribute at `index` in name order; false when out of range.
  bool getAttributeValue(unsigned int index, int& value);
  // The string attribute at `index` in name order; false when out of range.
  bool getAttributeValue(unsigned int index, std::wstring& value);
  // The byte array at `index` in name order, lent; false when out of range.
  bool getAttributeValue(unsigned int index, ByteArray*& value);

  // Adds or replaces the int attribute `name`.
  void setAttributeValue(const std::wstring& name, int value);
  // Adds or replaces the string attribute `name`.
  void setAttributeValue(const std::wstring& name, const std::wstring& value);
  // Adopts `value`, deleting the array it replaces.
  void setAttributeValue(const std::wstring& name, ByteArray* value);

  // Removes the int attribute `name`; an absent name is ignored.
  void removeIntAttribute(const std::wstring& name);
  // Removes the string attribute `name`; an absent name is ignored.
  void removeStringAttribute(const std::wstring& name);
  // Removes and deletes the byte array `name`; an absent name is ignored.
  void removeByteArrayAttribute(const std::wstring& name);

 protected:
  // Adds deep copies of the other's attributes.
  void copyData(const DataStore& other);
  // Removes every attribute, deleting the byte arrays.
  void deleteData();

  // The int attributes.
  IntMap m_mapInts;
  // The string attributes.
  StringMap m_mapStrings;
  // The byte-array attributes, owned.
  ByteArrayMap m_mapByteArrays;
};

}  // namespace kw
