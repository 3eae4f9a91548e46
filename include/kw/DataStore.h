// DataStore: the named int, string and byte-array attributes a message carries.
#pragma once

#include <kw/ByteArray.h>
#include <kw/Platform.h>

#include <cstddef>
#include <cstdint>
#include <string>

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
  int getIntAttributeCount() const { return static_cast<int>(m_tblInts.size); }
  // The number of string attributes.
  int getStringAttributeCount() const { return static_cast<int>(m_tblStrings.size); }
  // The number of byte-array attributes.
  int getByteArrayAttributeCount() const { return static_cast<int>(m_tblByteArrays.size); }

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

  // The same operations for a name already in UTF-16 code units; `name` and
  // `text` may point anywhere, aligned or not (into received bytes, say).
  // Sets the int attribute `name`.
  void putInt(const void* name, std::uint32_t length, int value);
  // Sets the string attribute `name`.
  void putString(const void* name, std::uint32_t length, const void* text,
                 std::uint32_t textLength);
  // Adopts `value` even when it throws.
  void putByteArray(const void* name, std::uint32_t length, ByteArray* value);
  // Room for that many more attributes of each kind.
  void reserveAttributes(std::size_t ints, std::size_t strings, std::size_t byteArrays);

 private:
  // Parsing sizes one block for what it reads and fills the tables from it.
  friend class Msg;

  // The entries of each kind and the blocks are laid out in the source.
  struct IntEntry;
  struct StringEntry;
  struct ByteArrayEntry;
  struct Block;
  // Entries sorted by name; names are unique within one table.
  template <typename Entry>
  struct Table {
    Entry* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;
  };

  // Whether `p` lies in one of the store's blocks or its room, so is not
  // freed on its own.
  bool inBlock(const void* p) const;
  // Frees a name's units unless a block holds them.
  void freeUnits(const char16_t* units) const;
  // Deletes an owned array; one in a block is only destroyed.
  void destroyBytes(ByteArray* bytes) const;
  // A new block of `size` bytes, freed with the store.
  char* addBlock(std::size_t size);
  // Moves a table to `room`, which has space for its entries and the ones to come.
  template <typename Entry>
  void moveTable(Table<Entry>& table, Entry* room, std::size_t capacity);
  // Room for `more` entries in the table.
  template <typename Entry>
  void grow(Table<Entry>& table, std::size_t more);

  // Order of two names in code units, each anywhere, aligned or not: <0, 0
  // or >0; a prefix sorts first.
  static int compareNames(const void* a, std::uint32_t aLength, const void* b,
                          std::uint32_t bLength);

  // The int attributes.
  Table<IntEntry> m_tblInts;
  // The string attributes.
  Table<StringEntry> m_tblStrings;
  // The byte-array attributes, owned.
  Table<ByteArrayEntry> m_tblByteArrays;
  // What parses have read, newest first.
  Block* m_pBlocks = nullptr;
  // Room for a first entry and its name, taken like a block: a new message
  // holds its type without memory of its own.
  alignas(void*) char m_aRoom[32];
};

}  // namespace kw
