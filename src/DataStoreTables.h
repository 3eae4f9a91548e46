// DataStoreTables: the layout of DataStore's entries and blocks, kept out of the installed header,
// and the table operations that the store and the message parser share.
#pragma once

#include <kw/ByteArray.h>
#include <kw/DataStore.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace kw {

// Each entry holds its name as UTF-16 code units, the form the wire carries, so a message is
// written and read with plain copies; a string attribute's text follows its name.
struct DataStore::IntEntry {
  const char16_t* units;
  std::uint32_t nameLength;
  int number;
};

struct DataStore::StringEntry {
  const char16_t* units;
  std::uint32_t nameLength;
  std::uint32_t textLength;
  const char16_t* text() const { return units + nameLength; }
};

struct DataStore::ByteArrayEntry {
  const char16_t* units;
  std::uint32_t nameLength;
  ByteArray* bytes;
};

// Memory a parse sizes and takes at once for what it reads: entries, names, texts and arrays.
// Its contents are freed with the store, never one by one.
struct DataStore::Block {
  Block* next;
  std::size_t size;
  // The contents follow, aligned as a pointer.
  char* begin() { return reinterpret_cast<char*>(this + 1); }
};

// Called for every entry a store lets go of: inline.
inline bool DataStore::inBlock(const void* p) const {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  if (at - reinterpret_cast<std::uintptr_t>(m_aRoom) < sizeof m_aRoom) return true;
  for (Block* block = m_pBlocks; block; block = block->next) {
    if (at - reinterpret_cast<std::uintptr_t>(block->begin()) < block->size) return true;
  }
  return false;
}

inline void DataStore::freeUnits(const char16_t* units) const {
  if (units && !inBlock(units)) std::free(const_cast<char16_t*>(units));
}

inline void DataStore::destroyBytes(ByteArray* bytes) const {
  if (!bytes) return;
  // An array in a block is the parser's, a ByteArray itself: no virtual call is needed.
  if (inBlock(bytes))
    bytes->ByteArray::~ByteArray();
  else
    delete bytes;
}

// Inline: a parse moves each table it adds to once.
template <typename Entry>
inline void DataStore::moveTable(Table<Entry>& table, Entry* room, std::size_t capacity) {
  if (table.size) std::memcpy(room, table.data, table.size * sizeof(Entry));
  if (table.data && !inBlock(table.data)) std::free(table.data);
  table.data = room;
  table.capacity = static_cast<std::uint32_t>(capacity);
}

namespace tables {

// Order of the first differing code units of two little-endian words that differ.
template <typename Word>
inline int firstDifference(Word x, Word y) {
  const Word diff = x ^ y;
  const int shift = (sizeof(Word) == 8 ? __builtin_ctzll(diff) : __builtin_ctz(diff)) & ~15;
  return static_cast<char16_t>(x >> shift) < static_cast<char16_t>(y >> shift) ? -1 : 1;
}

template <typename Word>
inline Word load(const char* p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Order of two names in code units as unsigned 16-bit numbers, read wherever they lie; a prefix
// sorts first. Inline: every look-up and insertion runs it.
inline int compareUnits(const void* a, std::uint32_t aLength, const void* b,
                        std::uint32_t bLength) {
  const std::size_t n = 2 * std::size_t{aLength < bLength ? aLength : bLength};
  const char* left = static_cast<const char*>(a);
  const char* right = static_cast<const char*>(b);
  // Four units at a time: names share long prefixes. The units are read as little-endian
  // words, so the first that differs is the lowest differing bit's.
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const auto x = load<std::uint64_t>(left + i), y = load<std::uint64_t>(right + i);
    if (x != y) return firstDifference(x, y);
  }
  if (i + 4 <= n) {
    const auto x = load<std::uint32_t>(left + i), y = load<std::uint32_t>(right + i);
    if (x != y) return firstDifference(x, y);
    i += 4;
  }
  if (i < n) {
    const auto x = load<char16_t>(left + i), y = load<char16_t>(right + i);
    if (x != y) return x < y ? -1 : 1;
  }
  return aLength == bLength ? 0 : (aLength < bLength ? -1 : 1);
}

template <typename Entry>
int compareName(const Entry& entry, const void* name, std::uint32_t length) {
  return compareUnits(entry.units, entry.nameLength, name, length);
}

// Index of the entry with that name, or of where it belongs.
template <typename Table>
std::size_t lowerBound(const Table& table, const void* name, std::uint32_t length, bool& found) {
  found = false;
  std::size_t low = 0, high = table.size;
  // Attributes mostly arrive in ascending order (copies, received messages).
  if (high) {
    int last = compareName(table.data[high - 1], name, length);
    if (last < 0) return high;
    if (last == 0) {
      found = true;
      return high - 1;
    }
  }
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    int order = compareName(table.data[mid], name, length);
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

template <typename Table>
auto* find(const Table& table, const void* name, std::uint32_t length) {
  bool found = false;
  std::size_t at = lowerBound(table, name, length, found);
  return found ? &table.data[at] : nullptr;
}

// A table's entries, for range-based loops.
template <typename Entry>
struct Span {
  Entry* first;
  Entry* last;
  Entry* begin() const { return first; }
  Entry* end() const { return last; }
};

template <typename Table>
auto entries(const Table& table) {
  return Span<std::remove_pointer_t<decltype(table.data)>>{table.data, table.data + table.size};
}

// Puts the entry at `at`, moving the later ones up; the room must be there.
template <typename Table, typename Entry>
void place(Table& table, std::size_t at, const Entry& entry) {
  Entry* slot = table.data + at;
  if (at != table.size) std::memmove(slot + 1, slot, (table.size - at) * sizeof(Entry));
  *slot = entry;
  ++table.size;
}

// Removes the entry at `at`, moving the later ones down.
template <typename Table>
void remove(Table& table, std::size_t at) {
  auto* slot = table.data + at;
  std::memmove(slot, slot + 1, (table.size - at - 1) * sizeof(*slot));
  --table.size;
}

}  // namespace tables
}  // namespace kw
