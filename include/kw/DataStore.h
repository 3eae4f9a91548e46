// DataStore: the named int, string and byte-array attributes a message carries.
#pragma once

#include <kw/ByteArray.h>
#include <kw/Platform.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kw {

// Named int, string and byte-array attributes in three collections ordered by
// the UTF-16 code units of their names. The store owns its ByteArray values.
class KW_API DataStore {
 public:
  DataStore();
  // A deep copy: byte arrays are duplicated.
  DataStore(const DataStore& other);
  virtual ~DataStore();
  // Replaces every attribute with a deep copy of the other's.
  DataStore& operator=(const DataStore& other);

  // The number of int attributes.
  int getIntAttributeCount() const { return static_cast<int>(m_vecInts.size()); }
  // The number of string attributes.
  int getStringAttributeCount() const { return static_cast<int>(m_vecStrings.size()); }
  // The number of byte-array attributes.
  int getByteArrayAttributeCount() const { return static_cast<int>(m_vecByteArrays.size()); }

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
  // One attribute. Its name, and after it a string attribute's text, are held
  // as UTF-16 code units, the form the wire carries, so a message is written
  // and read with plain copies: inside the entry when they are short, as most
  // names are, otherwise in a block of their own.
  struct Entry {
    // The most code units, name and text together, kept inside the entry.
    static constexpr std::uint32_t kInlineUnits = 12;
    union {
      char16_t* block;
      char16_t local[kInlineUnits];
    };
    // The name's length in code units.
    std::uint32_t nameLength;
    // The text's length in code units (string attributes; else 0).
    std::uint32_t textLength;
    union {
      int number;
      ByteArray* bytes;
    };

    // Whether the units are inside the entry.
    bool isLocal() const { return std::uint64_t{nameLength} + textLength <= kInlineUnits; }
    // The name's code units, the text's after them.
    const char16_t* units() const { return isLocal() ? local : block; }
    // The text's code units.
    const char16_t* text() const { return units() + nameLength; }
  };
  // Sorted by name; names are unique within one list.
  using Entries = std::vector<Entry>;

  // Adds deep copies of the other's attributes.
  void copyData(const DataStore& other);
  // Removes every attribute, deleting the byte arrays.
  void deleteData();

  // The same operations for a name already in UTF-16 code units; `name` and
  // `text` may point anywhere, aligned or not (into received bytes, say).
  static const Entry* findEntry(const Entries& list, const void* name, std::uint32_t length);
  // Sets the int attribute `name`.
  void putInt(const void* name, std::uint32_t length, int value);
  // Sets the string attribute `name`.
  void putString(const void* name, std::uint32_t length, const void* text,
                 std::uint32_t textLength);
  // Adopts `value` even when it throws.
  void putByteArray(const void* name, std::uint32_t length, ByteArray* value);
  // Room for that many more attributes of each kind.
  void reserveAttributes(std::size_t ints, std::size_t strings, std::size_t byteArrays);

  // The int attributes.
  Entries m_vecInts;
  // The string attributes.
  Entries m_vecStrings;
  // The byte-array attributes, owned.
  Entries m_vecByteArrays;

 private:
  // Parsing sorts and merges names in the store's order.
  friend class Msg;

  // Order of two names in code units, each anywhere, aligned or not: <0, 0
  // or >0; a prefix sorts first.
  static int compareNames(const void* a, std::uint32_t aLength, const void* b,
                          std::uint32_t bLength);
};

}  // namespace kw
