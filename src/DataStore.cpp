// DataStore: the three attribute collections, kept sorted by UTF-16 name, with short names and
// texts stored inline in their entries.
#include <kw/DataStore.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "Utf16.h"

namespace kw {

namespace {

// The helpers take the entry type as a parameter: its name is the store's own.

// Order of two names in code units as unsigned 16-bit numbers, read
// wherever they lie; a prefix sorts first.
int compareUnits(const void* a, std::uint32_t aLength, const void* b, std::uint32_t bLength) {
  const std::uint32_t n = aLength < bLength ? aLength : bLength;
  const char* left = static_cast<const char*>(a);
  const char* right = static_cast<const char*>(b);
  // Four units at a time while they are equal: names share long prefixes.
  std::uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    std::uint64_t x, y;
    std::memcpy(&x, left + 2 * std::size_t{i}, 8);
    std::memcpy(&y, right + 2 * std::size_t{i}, 8);
    if (x != y) break;
  }
  for (; i < n; ++i) {
    char16_t x, y;
    std::memcpy(&x, left + 2 * std::size_t{i}, 2);
    std::memcpy(&y, right + 2 * std::size_t{i}, 2);
    if (x != y) return x < y ? -1 : 1;
  }
  return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

// Order of an entry's name against a name in code units.
template <typename Entry>
int compareName(const Entry& entry, const void* name, std::uint32_t length) {
  return compareUnits(entry.units(), entry.nameLength, name, length);
}

// Index of the entry with that name, or of where it belongs.
template <typename Entries>
std::size_t lowerBound(const Entries& list, const void* name, std::uint32_t length, bool& found) {
  found = false;
  std::size_t low = 0, high = list.size();
  // Attributes mostly arrive in ascending order (copies, received messages).
  if (high) {
    int last = compareName(list[high - 1], name, length);
    if (last < 0) return high;
    if (last == 0) {
      found = true;
      return high - 1;
    }
  }
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    int order = compareName(list[mid], name, length);
    if (order == 0) {
      found = true;
      return mid;
    }
    if (order < 0)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

// An entry holding the name followed by the text, in place when they fit.
template <typename Entry>
Entry makeEntry(const void* name, std::uint32_t length, const void* text = nullptr,
                std::uint32_t textLength = 0) {
  Entry entry;
  entry.nameLength = length;
  entry.textLength = textLength;
  entry.bytes = nullptr;
  char16_t* units = entry.local;
  if (!entry.isLocal()) {
    units = static_cast<char16_t*>(std::malloc((std::size_t{length} + textLength) * 2));
    if (!units) throw std::bad_alloc();
    entry.block = units;
  }
  if (length) std::memcpy(units, name, std::size_t{length} * 2);
  if (textLength) std::memcpy(units + length, text, std::size_t{textLength} * 2);
  return entry;
}

template <typename Entry>
void freeUnits(const Entry& entry) {
  if (!entry.isLocal()) std::free(entry.block);
}

template <typename Entries>
void insertEntry(Entries& list, std::size_t at, const typename Entries::value_type& entry) {
  try {
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), entry);
  } catch (...) {
    freeUnits(entry);
    throw;
  }
}

template <typename Entries>
const typename Entries::value_type* findIn(const Entries& list, const void* name,
                                           std::uint32_t length) {
  bool found = false;
  std::size_t at = lowerBound(list, name, length, found);
  return found ? &list[at] : nullptr;
}

template <typename Entries>
const typename Entries::value_type* lookUp(const Entries& list, const wchar_t* name,
                                           std::size_t length) {
  utf16::Units units(name, length);
  return findIn(list, units.data(), units.size());
}

template <typename Entries>
void erase(Entries& list, const std::wstring& name, bool ownsBytes) {
  utf16::Units units(name);
  bool found = false;
  std::size_t at = lowerBound(list, units.data(), units.size(), found);
  if (!found) return;
  freeUnits(list[at]);
  if (ownsBytes) delete list[at].bytes;
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(at));
}

template <typename Entries>
void grow(Entries& list, std::size_t more) {
  std::size_t needed = list.size() + more;
  if (needed <= list.capacity()) return;
  // Exact when filling a new store; doubling when a full one keeps growing.
  list.reserve(needed > 2 * list.size() ? needed : 2 * list.size());
}

}  // namespace

int DataStore::compareNames(const void* a, std::uint32_t aLength, const void* b,
                            std::uint32_t bLength) {
  return compareUnits(a, aLength, b, bLength);
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

const DataStore::Entry* DataStore::findEntry(const Entries& list, const void* name,
                                             std::uint32_t length) {
  return findIn(list, name, length);
}

bool DataStore::containsIntAttribute(const wchar_t* name) const {
  return lookUp(m_vecInts, name, std::wcslen(name)) != nullptr;
}
bool DataStore::containsIntAttribute(const std::wstring& name) const {
  return containsIntAttribute(name.c_str());
}
bool DataStore::containsStringAttribute(const wchar_t* name) const {
  return lookUp(m_vecStrings, name, std::wcslen(name)) != nullptr;
}
bool DataStore::containsStringAttribute(const std::wstring& name) const {
  return containsStringAttribute(name.c_str());
}
bool DataStore::containsByteArrayAttribute(const wchar_t* name) const {
  return lookUp(m_vecByteArrays, name, std::wcslen(name)) != nullptr;
}
bool DataStore::containsByteArrayAttribute(const std::wstring& name) const {
  return containsByteArrayAttribute(name.c_str());
}

bool DataStore::getAttributeValue(const std::wstring& name, int& value) const {
  const Entry* entry = lookUp(m_vecInts, name.data(), name.size());
  if (entry) value = entry->number;
  return entry != nullptr;
}
bool DataStore::getAttributeValue(const std::wstring& name, std::wstring& value) const {
  const Entry* entry = lookUp(m_vecStrings, name.data(), name.size());
  if (entry) utf16::assign(value, entry->text(), entry->textLength);
  return entry != nullptr;
}
bool DataStore::getAttributeValue(const std::wstring& name, ByteArray*& value) const {
  const Entry* entry = lookUp(m_vecByteArrays, name.data(), name.size());
  if (entry) value = entry->bytes;
  return entry != nullptr;
}

bool DataStore::getAttributeValue(unsigned int index, int& value) {
  if (index >= m_vecInts.size()) return false;
  value = m_vecInts[index].number;
  return true;
}
bool DataStore::getAttributeValue(unsigned int index, std::wstring& value) {
  if (index >= m_vecStrings.size()) return false;
  const Entry& entry = m_vecStrings[index];
  utf16::assign(value, entry.text(), entry.textLength);
  return true;
}
bool DataStore::getAttributeValue(unsigned int index, ByteArray*& value) {
  if (index >= m_vecByteArrays.size()) return false;
  value = m_vecByteArrays[index].bytes;
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
  std::size_t at = lowerBound(m_vecInts, name, length, found);
  if (found) {
    m_vecInts[at].number = value;
    return;
  }
  Entry entry = makeEntry<Entry>(name, length);
  entry.number = value;
  insertEntry(m_vecInts, at, entry);
}

void DataStore::putString(const void* name, std::uint32_t length, const void* text,
                          std::uint32_t textLength) {
  bool found = false;
  std::size_t at = lowerBound(m_vecStrings, name, length, found);
  if (found) {
    Entry& entry = m_vecStrings[at];
    Entry replaced = makeEntry<Entry>(entry.units(), length, text, textLength);
    freeUnits(entry);
    entry = replaced;
    return;
  }
  insertEntry(m_vecStrings, at, makeEntry<Entry>(name, length, text, textLength));
}

void DataStore::putByteArray(const void* name, std::uint32_t length, ByteArray* value) {
  std::unique_ptr<ByteArray> adopted(value);
  bool found = false;
  std::size_t at = lowerBound(m_vecByteArrays, name, length, found);
  if (found) {
    Entry& entry = m_vecByteArrays[at];
    if (entry.bytes != value) delete entry.bytes;
    entry.bytes = adopted.release();
    return;
  }
  Entry entry = makeEntry<Entry>(name, length);
  entry.bytes = value;
  insertEntry(m_vecByteArrays, at, entry);
  adopted.release();
}

void DataStore::reserveAttributes(std::size_t ints, std::size_t strings, std::size_t byteArrays) {
  grow(m_vecInts, ints);
  grow(m_vecStrings, strings);
  grow(m_vecByteArrays, byteArrays);
}

void DataStore::removeIntAttribute(const std::wstring& name) { erase(m_vecInts, name, false); }

void DataStore::removeStringAttribute(const std::wstring& name) {
  erase(m_vecStrings, name, false);
}

void DataStore::removeByteArrayAttribute(const std::wstring& name) {
  erase(m_vecByteArrays, name, true);
}

void DataStore::copyData(const DataStore& other) {
  reserveAttributes(other.m_vecInts.size(), other.m_vecStrings.size(),
                    other.m_vecByteArrays.size());
  for (const Entry& entry : other.m_vecInts) putInt(entry.units(), entry.nameLength, entry.number);
  for (const Entry& entry : other.m_vecStrings)
    putString(entry.units(), entry.nameLength, entry.text(), entry.textLength);
  for (const Entry& entry : other.m_vecByteArrays) {
    if (entry.bytes) putByteArray(entry.units(), entry.nameLength, new ByteArray(*entry.bytes));
  }
}

void DataStore::deleteData() {
  for (Entry& entry : m_vecInts) freeUnits(entry);
  for (Entry& entry : m_vecStrings) freeUnits(entry);
  for (Entry& entry : m_vecByteArrays) {
    freeUnits(entry);
    delete entry.bytes;
  }
  m_vecInts.clear();
  m_vecStrings.clear();
  m_vecByteArrays.clear();
}

}  // namespace kw
