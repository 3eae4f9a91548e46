// DataStore: the three attribute tables, kept sorted by UTF-16 name, and the blocks that hold
// what a parse read.
#include <kw/DataStore.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "DataStoreTables.h"
#include "Utf16.h"

namespace kw {

namespace {

void* allocate(std::size_t size) {
  void* p = std::malloc(size);
  if (!p) throw std::bad_alloc();
  return p;
}

// A name followed by a text, in a block of their own; none for no units.
const char16_t* copyUnits(const void* name, std::uint32_t length, const void* text = nullptr,
                          std::uint32_t textLength = 0) {
  const std::size_t total = std::size_t{length} + textLength;
  if (total == 0) return nullptr;
  auto* units = static_cast<char16_t*>(allocate(total * 2));
  if (length) std::memcpy(units, name, std::size_t{length} * 2);
  if (textLength) std::memcpy(units + length, text, std::size_t{textLength} * 2);
  return units;
}

template <typename Table>
auto* lookUp(const Table& table, const wchar_t* name, std::size_t length) {
  utf16::Units units(name, length);
  return tables::find(table, units.data(), units.size());
}

}  // namespace

int DataStore::compareNames(const void* a, std::uint32_t aLength, const void* b,
                            std::uint32_t bLength) {
  return tables::compareUnits(a, aLength, b, bLength);
}

DataStore::DataStore() = default;

DataStore::DataStore(const DataStore& other) { copyData(other); }

DataStore::~DataStore() { deleteData(); }

DataStore& DataStore::operator=(const DataStore& other) {
  if (this != &other) {
    deleteData();
    copyData(other);
  }
  return *this;
}

char* DataStore::addBlock(std::size_t size) {
  auto* block = static_cast<Block*>(allocate(sizeof(Block) + size));
  block->next = m_pBlocks;
  block->size = size;
  m_pBlocks = block;
  return block->begin();
}

template <typename Entry>
void DataStore::grow(Table<Entry>& table, std::size_t more) {
  const std::size_t needed = std::size_t{table.size} + more;
  if (needed <= table.capacity) return;
  if (needed > UINT32_MAX) throw std::bad_alloc();
  // Exact when filling a new store; doubling when a full one keeps growing.
  std::size_t capacity =
      needed > 2 * std::size_t{table.size} ? needed : 2 * std::size_t{table.size};
  if (capacity > UINT32_MAX) capacity = UINT32_MAX;
  moveTable(table, static_cast<Entry*>(allocate(capacity * sizeof(Entry))), capacity);
}

bool DataStore::containsIntAttribute(const wchar_t* name) const {
  return lookUp(m_tblInts, name, std::wcslen(name)) != nullptr;
}
bool DataStore::containsIntAttribute(const std::wstring& name) const {
  return containsIntAttribute(name.c_str());
}
bool DataStore::containsStringAttribute(const wchar_t* name) const {
  return lookUp(m_tblStrings, name, std::wcslen(name)) != nullptr;
}
bool DataStore::containsStringAttribute(const std::wstring& name) const {
  return containsStringAttribute(name.c_str());
}
bool DataStore::containsByteArrayAttribute(const wchar_t* name) const {
  return lookUp(m_tblByteArrays, name, std::wcslen(name)) != nullptr;
}
bool DataStore::containsByteArrayAttribute(const std::wstring& name) const {
  return containsByteArrayAttribute(name.c_str());
}

bool DataStore::getAttributeValue(const std::wstring& name, int& value) const {
  const IntEntry* entry = lookUp(m_tblInts, name.data(), name.size());
  if (entry) value = entry->number;
  return entry != nullptr;
}
bool DataStore::getAttributeValue(const std::wstring& name, std::wstring& value) const {
  const StringEntry* entry = lookUp(m_tblStrings, name.data(), name.size());
  if (entry) utf16::assign(value, entry->text(), entry->textLength);
  return entry != nullptr;
}
bool DataStore::getAttributeValue(const std::wstring& name, ByteArray*& value) const {
  const ByteArrayEntry* entry = lookUp(m_tblByteArrays, name.data(), name.size());
  if (entry) value = entry->bytes;
  return entry != nullptr;
}

bool DataStore::getAttributeValue(unsigned int index, int& value) {
  if (index >= m_tblInts.size) return false;
  value = m_tblInts.data[index].number;
  return true;
}
bool DataStore::getAttributeValue(unsigned int index, std::wstring& value) {
  if (index >= m_tblStrings.size) return false;
  const StringEntry& entry = m_tblStrings.data[index];
  utf16::assign(value, entry.text(), entry.textLength);
  return true;
}
bool DataStore::getAttributeValue(unsigned int index, ByteArray*& value) {
  if (index >= m_tblByteArrays.size) return false;
  value = m_tblByteArrays.data[index].bytes;
  return true;
}

void DataStore::setAttributeValue(const std::wstring& name, int value) {
  utf16::Units units(name);
  putInt(units.data(), units.size(), value);
}

void DataStore::setAttributeValue(const std::wstring& name, const std::wstring& value) {
  utf16::Units units(name), text(value);
  putString(units.data(), units.size(), text.data(), text.size());
}

void DataStore::setAttributeValue(const std::wstring& name, ByteArray* value) {
  std::unique_ptr<ByteArray> adopted(value);
  utf16::Units units(name);
  putByteArray(units.data(), units.size(), adopted.release());
}

void DataStore::putInt(const void* name, std::uint32_t length, int value) {
  bool found = false;
  std::size_t at = tables::lowerBound(m_tblInts, name, length, found);
  if (found) {
    m_tblInts.data[at].number = value;
    return;
  }
  grow(m_tblInts, 1);
  tables::place(m_tblInts, at, IntEntry{copyUnits(name, length), length, value});
}

void DataStore::putString(const void* name, std::uint32_t length, const void* text,
                          std::uint32_t textLength) {
  bool found = false;
  std::size_t at = tables::lowerBound(m_tblStrings, name, length, found);
  if (found) {
    StringEntry& entry = m_tblStrings.data[at];
    const char16_t* replaced = copyUnits(entry.units, length, text, textLength);
    freeUnits(entry.units);
    entry.units = replaced;
    entry.textLength = textLength;
    return;
  }
  grow(m_tblStrings, 1);
  tables::place(m_tblStrings, at,
                StringEntry{copyUnits(name, length, text, textLength), length, textLength});
}

void DataStore::putByteArray(const void* name, std::uint32_t length, ByteArray* value) {
  std::unique_ptr<ByteArray> adopted(value);
  bool found = false;
  std::size_t at = tables::lowerBound(m_tblByteArrays, name, length, found);
  if (found) {
    ByteArrayEntry& entry = m_tblByteArrays.data[at];
    if (entry.bytes != value) destroyBytes(entry.bytes);
    entry.bytes = adopted.release();
    return;
  }
  grow(m_tblByteArrays, 1);
  tables::place(m_tblByteArrays, at, ByteArrayEntry{copyUnits(name, length), length, value});
  adopted.release();
}

void DataStore::reserveAttributes(std::size_t ints, std::size_t strings, std::size_t byteArrays) {
  grow(m_tblInts, ints);
  grow(m_tblStrings, strings);
  grow(m_tblByteArrays, byteArrays);
}

namespace {

// Takes the entry `name` out of its table; `release` lets go of what it held first.
template <typename Table, typename Release>
void removeEntry(Table& table, const std::wstring& name, Release&& release) {
  utf16::Units units(name);
  bool found = false;
  const std::size_t at = tables::lowerBound(table, units.data(), units.size(), found);
  if (!found) return;
  release(table.data[at]);
  tables::remove(table, at);
}

}  // namespace

void DataStore::removeIntAttribute(const std::wstring& name) {
  removeEntry(m_tblInts, name, [this](const IntEntry& entry) { freeUnits(entry.units); });
}

void DataStore::removeStringAttribute(const std::wstring& name) {
  removeEntry(m_tblStrings, name, [this](const StringEntry& entry) { freeUnits(entry.units); });
}

void DataStore::removeByteArrayAttribute(const std::wstring& name) {
  removeEntry(m_tblByteArrays, name, [this](const ByteArrayEntry& entry) {
    freeUnits(entry.units);
    destroyBytes(entry.bytes);
  });
}

void DataStore::copyData(const DataStore& other) {
  reserveAttributes(other.m_tblInts.size, other.m_tblStrings.size, other.m_tblByteArrays.size);
  for (const IntEntry& entry : tables::entries(other.m_tblInts))
    putInt(entry.units, entry.nameLength, entry.number);
  for (const StringEntry& entry : tables::entries(other.m_tblStrings))
    putString(entry.units, entry.nameLength, entry.text(), entry.textLength);
  for (const ByteArrayEntry& entry : tables::entries(other.m_tblByteArrays)) {
    if (entry.bytes) putByteArray(entry.units, entry.nameLength, new ByteArray(*entry.bytes));
  }
}

void DataStore::deleteData() {
  // A parsed message's entries, names and arrays lie in its newest block: that range is tested
  // first, from registers, before the room and the other blocks.
  const auto newest = m_pBlocks ? reinterpret_cast<std::uintptr_t>(m_pBlocks->begin()) : 0;
  const std::size_t newestSize = m_pBlocks ? m_pBlocks->size : 0;
  auto ownFreed = [&](const void* p) {
    return p && reinterpret_cast<std::uintptr_t>(p) - newest >= newestSize && !inBlock(p);
  };
  auto freeName = [&](const char16_t* units) {
    if (ownFreed(units)) std::free(const_cast<char16_t*>(units));
  };
  for (const IntEntry& entry : tables::entries(m_tblInts)) freeName(entry.units);
  for (const StringEntry& entry : tables::entries(m_tblStrings)) freeName(entry.units);
  for (const ByteArrayEntry& entry : tables::entries(m_tblByteArrays)) {
    freeName(entry.units);
    if (!entry.bytes) continue;
    // An array in a block is the parser's, a ByteArray itself: no virtual call is needed.
    if (ownFreed(entry.bytes))
      delete entry.bytes;
    else
      entry.bytes->ByteArray::~ByteArray();
  }
  auto drop = [&](auto& table) {
    if (ownFreed(table.data)) std::free(table.data);
    table = {};
  };
  drop(m_tblInts);
  drop(m_tblStrings);
  drop(m_tblByteArrays);
  while (m_pBlocks) {
    Block* next = m_pBlocks->next;
    std::free(m_pBlocks);
    m_pBlocks = next;
  }
}

}  // namespace kw
