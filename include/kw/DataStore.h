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
  using IntMap = std::map<std::wstring, int, Utf16Less>;
  using StringMap = std::map<std::wstring, std::wstring, Utf16Less>;
  using ByteArrayMap = std::map<std::wstring, ByteArray*, Utf16Less>;

  DataStore();
  DataStore(const DataStore& other);
  virtual ~DataStore();
  DataStore& operator=(const DataStore& other);

  int getIntAttributeCount() const { return static_cast<int>(m_mapInts.size()); }
  int getStringAttributeCount() const { return static_cast<int>(m_mapStrings.size()); }
  int getByteArrayAttributeCount() const { return static_cast<int>(m_mapByteArrays.size()); }

  bool containsIntAttribute(const wchar_t* name) const;
  bool containsIntAttribute(const std::wstring& name) const;
  bool containsStringAttribute(const wchar_t* name) const;
  bool containsStringAttribute(const std::wstring& name) const;
  bool containsByteArrayAttribute(const wchar_t* name) const;
  bool containsByteArrayAttribute(const std::wstring& name) const;

  bool getAttributeValue(const std::wstring& name, int& value) const;
  bool getAttributeValue(const std::wstring& name, std::wstring& value) const;
  // Lends the stored pointer; the store keeps owning it.
  bool getAttributeValue(const std::wstring& name, ByteArray*& value) const;

  bool getAttributeValue(unsigned int index, int& value);
  bool getAttributeValue(unsigned int index, std::wstring& value);
  bool getAttributeValue(unsigned int index, ByteArray*& value);

  void setAttributeValue(const std::wstring& name, int value);
  void setAttributeValue(const std::wstring& name, const std::wstring& value);
  // Adopts `value`, deleting the array it replaces.
  void setAttributeValue(const std::wstring& name, ByteArray* value);

  void removeIntAttribute(const std::wstring& name);
  void removeStringAttribute(const std::wstring& name);
  void removeByteArrayAttribute(const std::wstring& name);

 protected:
  void copyData(const DataStore& other);
  void deleteData();

  IntMap m_mapInts;
  StringMap m_mapStrings;
  ByteArrayMap m_mapByteArrays;
};

}  // namespace kw
