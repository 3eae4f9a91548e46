// Msg: the message type attribute, the text form, and writing and checked reading of the wire
// format.
#include <kw/CommsException.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <type_traits>

#include "DataStoreTables.h"
#include "Utf16.h"

namespace kw {

namespace {

const wchar_t* const kTypeNames[] = {L"UNSPECIFIED",
                                     L"ERROR_MSG",
                                     L"SYSTEM_STATE_CHANGE",
                                     L"APPLICATION_CHANGE",
                                     L"ACKNOWLEDGEMENT",
                                     L"UPDATE",
                                     L"CHALLENGE_REQUEST",
                                     L"CHALLENGE_RESPONSE",
                                     L"AUTHENTICATION_REQUEST",
                                     L"AUTHENTICATION_RESPONSE",
                                     L"USER_INFO_UPDATE",
                                     L"SYSTEM_EVENT",
                                     L"PLUGIN_INFO",
                                     L"SYSTEM_CHANGE_SERVICE",
                                     L"HTTP_COMM_DEVICE"};

// "MsgType", "Signature" and "EncryptedData" as UTF-16 code units.
const char16_t kTypeUnits[] = u"MsgType";
const char16_t kSignatureUnits[] = u"Signature";
const char16_t kEncryptedUnits[] = u"EncryptedData";
template <std::size_t N>
constexpr std::uint32_t lengthOf(const char16_t (&)[N]) {
  return N - 1;
}

const wchar_t kFile[] = L".\\src\\Msg";

// A null byte-array attribute travels as an empty one.
inline int byteCount(const ByteArray* value) { return value ? value->getSize() : 0; }

inline char* putInt32(char* out, int value) {
  std::memcpy(out, &value, 4);
  return out + 4;
}

inline char* putUnits(char* out, const char16_t* units, std::uint32_t length) {
  if (length) std::memcpy(out, units, static_cast<std::size_t>(length) * 2);
  return out + static_cast<std::size_t>(length) * 2;
}

// Copies `n` bytes. Names, texts and hashes are a few dozen bytes: fixed-size moves, the last
// overlapping the one before, cost less than a call to memcpy.
inline void copyBytes(void* out, const void* in, std::size_t n) {
  auto* to = static_cast<char*>(out);
  const auto* from = static_cast<const char*>(in);
  auto move = [&](std::size_t at, auto word) {
    std::memcpy(&word, from + at, sizeof word);
    std::memcpy(to + at, &word, sizeof word);
  };
  struct Wide {
    std::uint64_t half[2];
  };
  if (n > 64) {
    std::memcpy(to, from, n);
  } else if (n >= 16) {
    move(0, Wide{});
    if (n > 32) {
      move(16, Wide{});
      if (n > 48) move(32, Wide{});
    }
    move(n - 16, Wide{});
  } else if (n >= 8) {
    move(0, std::uint64_t{});
    move(n - 8, std::uint64_t{});
  } else if (n >= 4) {
    move(0, std::uint32_t{});
    move(n - 4, std::uint32_t{});
  } else if (n) {
    move(0, char{});
    if (n > 1) move(n - 2, std::uint16_t{});
  }
}

// Code units read from the bytes, where they may lie unaligned.
inline char16_t* takeUnits(char16_t* out, const char* bytes, std::uint32_t length) {
  copyBytes(out, bytes, static_cast<std::size_t>(length) * 2);
  return out + length;
}

// An attribute's name as a string element (the entry types are the store's own).
template <typename Entry>
inline char* putName(char* out, const Entry& entry) {
  out = putInt32(out, Msg::STRING);
  out = putInt32(out, static_cast<int>(entry.nameLength * 2));
  return putUnits(out, entry.units, entry.nameLength);
}

std::wstring textOf(const char16_t* units, std::uint32_t length) {
  std::wstring text;
  utf16::assign(text, units, length);
  return text;
}

int readInt(const ByteArray& data, int& offset) {
  if (static_cast<std::int64_t>(offset) + 4 > data.getSize())
    throw CommsException(SiteId::MsgIntTruncated, L"Insufficient bytes to read int", kFile,
                         __LINE__, L"Msg::getNextInt");
  int value;
  std::memcpy(&value, data.getData() + offset, 4);
  offset += 4;
  return value;
}

// One element as it lies in the bytes: its type tag, and its integer value or
// where its payload starts and how long it is.
struct Element {
  int tag;
  int number;
  const char* payload;
  int length;
};

// Reads the element at offset, checking in the order the format lays down.
bool readElement(const ByteArray& data, int& offset, Element& element) {
  const std::int64_t size = data.getSize();
  if (offset >= size) return false;
  if (static_cast<std::int64_t>(offset) + 8 > size)
    throw CommsException(SiteId::MsgElementHeaderTruncated,
                         L"Insufficient bytes to read element header", kFile, __LINE__,
                         L"Msg::getNextElement");
  element.tag = readInt(data, offset);
  element.length = readInt(data, offset);
  // A negative length would move the reading position backwards.
  if (element.length < 0 || static_cast<std::int64_t>(offset) + element.length > size)
    throw CommsException(SiteId::MsgElementPayloadTruncated,
                         L"Insufficient bytes to read full element", kFile, __LINE__,
                         L"Msg::getNextElement");
  switch (element.tag) {
    case Msg::INTEGER:
      element.number = readInt(data, offset);
      break;
    case Msg::STRING:
    case Msg::BYTE_ARRAY:
      element.payload = data.getData() + offset;
      offset += element.length;
      break;
    default:
      throw CommsException(SiteId::MsgElementTypeUnknown, L"Unknown element type", kFile, __LINE__,
                           L"Msg::getNextElement");
  }
  return true;
}

// What well-formed bytes from `offset` on carry, at most: the attributes of each kind, their
// names' and texts' code units and the arrays' objects. The parse sizes its block by them, so
// counting stops quietly where the bytes go wrong: the parse throws there.
struct Sizes {
  std::size_t counts[4] = {};
  std::uint64_t units = 0;
  // The arrays' bytes.
  std::uint64_t arrayBytes = 0;
  // Where the elements checked here end: up to it they are read unchecked.
  int checkedEnd = 0;
};

// Checks the element at `offset` as readElement would, without throwing: its
// tag and length, and where the next one starts.
inline bool checkElement(const char* bytes, std::int64_t size, std::int64_t offset, int& tag,
                         int& length, std::int64_t& next) {
  if (offset + 8 > size) return false;
  std::memcpy(&tag, bytes + offset, 4);
  std::memcpy(&length, bytes + offset + 4, 4);
  if (static_cast<unsigned>(tag) - Msg::INTEGER > Msg::BYTE_ARRAY - Msg::INTEGER || length < 0)
    return false;
  const std::int64_t payloadEnd = offset + 8 + length;
  next = tag == Msg::INTEGER ? offset + 12 : payloadEnd;
  return (payloadEnd > next ? payloadEnd : next) <= size;
}

Sizes measure(const ByteArray& data, int offset) {
  Sizes sizes;
  const std::int64_t size = data.getSize();
  const char* bytes = data.getData();
  // An attribute at a time: a name, then its value. Any fault ends the walk.
  std::int64_t at = offset, next = 0;
  int tag, length;
  while (checkElement(bytes, size, at, tag, length, next)) {
    const std::uint64_t nameUnits = tag == Msg::STRING ? static_cast<std::uint32_t>(length) / 2 : 0;
    at = next;
    if (!checkElement(bytes, size, at, tag, length, next)) break;
    ++sizes.counts[tag];
    sizes.units += nameUnits + (tag == Msg::STRING ? static_cast<std::uint32_t>(length) / 2 : 0);
    if (tag == Msg::BYTE_ARRAY) sizes.arrayBytes += static_cast<std::uint32_t>(length);
    at = next;
  }
  // Past the last element checked, a value's or a name whose value is not.
  sizes.checkedEnd = static_cast<int>(at);
  return sizes;
}

// An element that measure has checked.
inline void readChecked(const char* bytes, int& offset, Element& element) {
  std::memcpy(&element.tag, bytes + offset, 4);
  std::memcpy(&element.length, bytes + offset + 4, 4);
  offset += 8;
  if (element.tag == Msg::INTEGER) {
    std::memcpy(&element.number, bytes + offset, 4);
    offset += 4;
  } else {
    element.payload = bytes + offset;
    offset += element.length;
  }
}

// Entries that attributes inserted one by one may move, per attribute and
// at first, before the rest are collected, sorted and merged instead.
constexpr std::size_t kMovesPerAttribute = 16;
constexpr std::size_t kMovesAtFirst = 64;

// Space for `count` objects of T from `at` on, which moves past them.
template <typename T>
T* carve(char*& at, std::size_t count) {
  T* first = reinterpret_cast<T*>(at);
  at += count * sizeof(T);
  return first;
}

}  // namespace

Msg::Msg() {
  // The type's entry and name fit the store's room: a new message takes no memory.
  static_assert(sizeof(IntEntry) + sizeof kTypeUnits <= sizeof m_aRoom, "room too small");
  char* room = m_aRoom;
  IntEntry* entry = carve<IntEntry>(room, 1);
  auto* units = reinterpret_cast<char16_t*>(room);
  std::memcpy(units, kTypeUnits, sizeof kTypeUnits);
  *entry = IntEntry{units, lengthOf(kTypeUnits), UNSPECIFIED};
  m_tblInts = Table<IntEntry>{entry, 1, 1};
}

Msg::Msg(const Msg& other) : DataStore(other) {}

// The store's destructor empties it.
Msg::~Msg() = default;

Msg& Msg::operator=(const Msg& other) {
  DataStore::operator=(other);
  return *this;
}

const wchar_t* Msg::getTypeName(MsgType type) {
  int value = static_cast<int>(type);
  if (value < 0 || value >= static_cast<int>(sizeof kTypeNames / sizeof kTypeNames[0]))
    return L"Unknown";
  return kTypeNames[value];
}

Msg::MsgType Msg::getType() const {
  const IntEntry* entry = tables::find(m_tblInts, kTypeUnits, lengthOf(kTypeUnits));
  return static_cast<MsgType>(entry ? entry->number : UNSPECIFIED);
}

void Msg::setType(MsgType type) {
  putInt(kTypeUnits, lengthOf(kTypeUnits), static_cast<int>(type));
}

bool Msg::isSecure() const {
  return tables::find(m_tblByteArrays, kSignatureUnits, lengthOf(kSignatureUnits)) ||
         tables::find(m_tblByteArrays, kEncryptedUnits, lengthOf(kEncryptedUnits));
}

void Msg::toString(std::wstring& text) const {
  text.clear();
  auto line = [&text](const auto& entry, const std::wstring& value) {
    text += textOf(entry.units, entry.nameLength);
    text += L'=';
    text += value;
    text += L"\r\n";
  };
  for (const IntEntry& entry : tables::entries(m_tblInts))
    line(entry, std::to_wstring(entry.number));
  for (const StringEntry& entry : tables::entries(m_tblStrings))
    line(entry, textOf(entry.text(), entry.textLength));
  for (const ByteArrayEntry& entry : tables::entries(m_tblByteArrays))
    line(entry, std::to_wstring(byteCount(entry.bytes)));
}

std::wostream& operator<<(std::wostream& stream, const Msg& msg) {
  std::wstring text;
  msg.toString(text);
  return stream << text;
}

int Msg::getSerializedSizeRequirement() const {
  // Each attribute: two element headers and the name; then its value.
  std::int64_t total = 8;
  for (const IntEntry& entry : tables::entries(m_tblInts))
    total += 16 + 2 * std::int64_t{entry.nameLength} + 4;
  for (const StringEntry& entry : tables::entries(m_tblStrings))
    total += 16 + 2 * (std::int64_t{entry.nameLength} + entry.textLength);
  for (const ByteArrayEntry& entry : tables::entries(m_tblByteArrays))
    total += 16 + 2 * std::int64_t{entry.nameLength} + byteCount(entry.bytes);
  // The length field is a signed 32-bit number.
  if (total > INT32_MAX)
    throw CommsException(SiteId::MsgTooLargeToSerialise, L"Message too large to serialise", kFile,
                         __LINE__, L"Msg::getSerializedSizeRequirement");
  return static_cast<int>(total);
}

void Msg::toByteArray(ByteArray& out) const {
  out.clear();
  const int total = getSerializedSizeRequirement();
  out.ensure(total);
  char* p = out.m_pData;
  p = putInt32(p, 1);
  p = putInt32(p, total);
  for (const IntEntry& entry : tables::entries(m_tblInts)) {
    p = putName(p, entry);
    p = putInt32(p, INTEGER);
    p = putInt32(p, 4);
    p = putInt32(p, entry.number);
  }
  for (const StringEntry& entry : tables::entries(m_tblStrings)) {
    p = putName(p, entry);
    p = putInt32(p, STRING);
    p = putInt32(p, static_cast<int>(entry.textLength * 2));
    p = putUnits(p, entry.text(), entry.textLength);
  }
  for (const ByteArrayEntry& entry : tables::entries(m_tblByteArrays)) {
    p = putName(p, entry);
    p = putInt32(p, BYTE_ARRAY);
    const int count = byteCount(entry.bytes);
    p = putInt32(p, count);
    if (count) std::memcpy(p, entry.bytes->getData(), static_cast<std::size_t>(count));
    p += count;
  }
  out.m_nSize = total;
}

void Msg::fromByteArray(const ByteArray& in) {
  int offset = 0;
  if (readInt(in, offset) != 1)
    throw CommsException(SiteId::MsgUnsupportedVersion, L"Unsupported Message Version", kFile,
                         __LINE__, L"Msg::fromByteArray");
  if (readInt(in, offset) != in.getSize())
    throw CommsException(SiteId::MsgLengthMismatch, L"Incorrect message length value", kFile,
                         __LINE__, L"Msg::fromByteArray");

  // One block takes the entries, names, texts and array objects the bytes carry; a table
  // with too little room moves into it with room for them all.
  const Sizes sizes = measure(in, offset);
  auto roomFor = [](const auto& table, std::size_t more) -> std::size_t {
    return table.capacity - table.size < more ? table.size + more : 0;
  };
  const std::size_t arrays = sizes.counts[BYTE_ARRAY];
  const std::size_t ints = roomFor(m_tblInts, sizes.counts[INTEGER]);
  const std::size_t strings = roomFor(m_tblStrings, sizes.counts[STRING]);
  const std::size_t byteArrays = roomFor(m_tblByteArrays, arrays);
  if (ints > UINT32_MAX || strings > UINT32_MAX || byteArrays > UINT32_MAX) throw std::bad_alloc();
  const std::uint64_t total =
      ints * std::uint64_t{sizeof(IntEntry)} + strings * std::uint64_t{sizeof(StringEntry)} +
      byteArrays * std::uint64_t{sizeof(ByteArrayEntry)} +
      arrays * std::uint64_t{sizeof(ByteArray)} + sizes.units * 2 + sizes.arrayBytes;
  if (total > SIZE_MAX / 2) throw std::bad_alloc();
  char* room = total ? addBlock(static_cast<std::size_t>(total)) : nullptr;
  if (ints) moveTable(m_tblInts, carve<IntEntry>(room, ints), ints);
  if (strings) moveTable(m_tblStrings, carve<StringEntry>(room, strings), strings);
  if (byteArrays) moveTable(m_tblByteArrays, carve<ByteArrayEntry>(room, byteArrays), byteArrays);
  ByteArray* array = carve<ByteArray>(room, arrays);
  char16_t* units = reinterpret_cast<char16_t*>(room);
  // The arrays' bytes last, lent to arrays that never free them.
  char* arrayBytes = room + sizes.units * 2;

  // What an entry a newer one replaces held.
  auto release = [this](const auto& entry) {
    freeUnits(entry.units);
    if constexpr (std::is_same_v<std::decay_t<decltype(entry)>, ByteArrayEntry>)
      destroyBytes(entry.bytes);
  };
  // Each attribute goes straight into its place while that moves few entries,
  // as it does for names in the order they are written. Once the entries
  // moved outgrow a bound linear in the attributes read, as names in
  // descending order make them, the rest wait behind each table's entries
  // and are sorted and merged with them once.
  std::uint32_t waiting[4] = {};
  bool collecting = false;
  std::size_t attributes = 0, moved = 0;
  auto add = [&](auto& table, const auto& entry, std::uint32_t& queued) {
    ++attributes;
    if (collecting) {
      table.data[table.size + queued++] = entry;
      return;
    }
    // Names arrive in ascending order as the writer lays them down: most go last, found with
    // one comparison.
    const std::uint32_t count = table.size;
    const int order =
        count ? tables::compareName(table.data[count - 1], entry.units, entry.nameLength) : -1;
    if (order < 0) {
      table.data[count] = entry;
      table.size = count + 1;
      return;
    }
    bool found = order == 0;
    const std::size_t at =
        found ? count - 1 : tables::lowerBound(table, entry.units, entry.nameLength, found);
    if (found) {
      const auto replaced = table.data[at];
      table.data[at] = entry;
      release(replaced);
      return;
    }
    moved += table.size - at;
    tables::place(table, at, entry);
    collecting = moved > kMovesPerAttribute * attributes + kMovesAtFirst;
  };
  auto settle = [&](auto& table, std::uint32_t& queued) {
    if (!queued) return;
    auto before = [](const auto& a, const auto& b) {
      return compareNames(a.units, a.nameLength, b.units, b.nameLength) < 0;
    };
    auto* first = table.data;
    auto* middle = first + table.size;
    auto* last = middle + queued;
    // Both keep equal names in the order they came, so of a name held twice
    // the newest is last, and stays.
    std::stable_sort(middle, last, before);
    std::inplace_merge(first, middle, last, before);
    auto* kept = first;
    for (auto* entry = first; entry != last; ++entry) {
      if (entry + 1 != last && !before(*entry, entry[1]))
        release(*entry);
      else
        *kept++ = *entry;
    }
    table.size = static_cast<std::uint32_t>(kept - first);
    queued = 0;
  };
  auto settleAll = [&] {
    // Only collecting leaves entries waiting.
    if (!collecting) return;
    settle(m_tblInts, waiting[INTEGER]);
    settle(m_tblStrings, waiting[STRING]);
    settle(m_tblByteArrays, waiting[BYTE_ARRAY]);
  };

  // Names and texts go from the bytes into the block as they are: both hold
  // UTF-16 code units, and an odd last byte is left out.
  const char* bytes = in.getData();
  auto next = [&](Element& element) {
    if (offset >= sizes.checkedEnd) return readElement(in, offset, element);
    readChecked(bytes, offset, element);
    return true;
  };
  try {
    Element name{}, value{};
    while (next(name)) {
      if (name.tag != STRING)
        throw CommsException(SiteId::MsgAttributeNameNotText,
                             L"Unexpected element data type when parsing Attribute Name", kFile,
                             __LINE__, L"Msg::fromByteArray");
      if (!next(value))
        throw CommsException(SiteId::MsgAttributeValueMissing, L"Missing attribute value", kFile,
                             __LINE__, L"Msg::fromByteArray");
      const auto length = static_cast<std::uint32_t>(name.length / 2);
      const auto textLength =
          static_cast<std::uint32_t>(value.tag == STRING ? value.length / 2 : 0);
      const char16_t* held = length + textLength ? units : nullptr;
      units = takeUnits(units, name.payload, length);
      units = takeUnits(units, value.payload, textLength);
      switch (value.tag) {
        case INTEGER:
          add(m_tblInts, IntEntry{held, length, value.number}, waiting[INTEGER]);
          break;
        case STRING:
          add(m_tblStrings, StringEntry{held, length, textLength}, waiting[STRING]);
          break;
        default:
          ByteArray* bytes = new (array++) ByteArray();
          if (value.length) {
            copyBytes(arrayBytes, value.payload, static_cast<std::size_t>(value.length));
            bytes->m_pData = arrayBytes;
            bytes->m_nSize = value.length;
            bytes->m_nCapacity = -value.length;
            arrayBytes += value.length;
          }
          add(m_tblByteArrays, ByteArrayEntry{held, length, bytes}, waiting[BYTE_ARRAY]);
          break;
      }
    }
  } catch (...) {
    // What was read before the fault stays in the message.
    settleAll();
    throw;
  }
  settleAll();
}

bool Msg::getNextElement(const ByteArray& data, int& offset, int& intValue,
                         std::wstring& stringValue, ByteArray*& byteArrayValue, DataType& type) {
  Element element{};
  if (!readElement(data, offset, element)) return false;
  switch (element.tag) {
    case INTEGER:
      intValue = element.number;
      break;
    case STRING:
      stringValue.clear();
      utf16::appendFromLE(stringValue, element.payload,
                          static_cast<std::size_t>(element.length / 2));
      break;
    default:
      byteArrayValue = new ByteArray(element.payload, element.length);
      break;
  }
  type = static_cast<DataType>(element.tag);
  return true;
}

int Msg::getNextInt(const ByteArray& data, int& offset) { return readInt(data, offset); }

}  // namespace kw
