// Msg: the message type attribute, the text form, and writing and checked reading of the wire
// format.
#include <kw/CommsException.h>
#include <kw/Msg.h>
#include <kw/SiteId.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

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

// An attribute's name as a string element (the entry type is the store's own).
template <typename Entry>
inline char* putName(char* out, const Entry& entry) {
  out = putInt32(out, Msg::STRING);
  out = putInt32(out, static_cast<int>(entry.nameLength * 2));
  return putUnits(out, entry.units(), entry.nameLength);
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

// How many attributes of each kind well-formed bytes from `offset` on carry; a
// hint for reserving room, so it stops quietly where the bytes go wrong.
void countAttributes(const ByteArray& data, int offset, std::size_t counts[4]) {
  const std::int64_t size = data.getSize();
  const char* bytes = data.getData();
  bool isValue = false;
  while (static_cast<std::int64_t>(offset) + 8 <= size) {
    int tag, length;
    std::memcpy(&tag, bytes + offset, 4);
    std::memcpy(&length, bytes + offset + 4, 4);
    std::int64_t next = static_cast<std::int64_t>(offset) + 8 + (tag == Msg::INTEGER ? 4 : length);
    if (tag < Msg::INTEGER || tag > Msg::BYTE_ARRAY || length < 0 || next > size) return;
    if (isValue) ++counts[tag];
    isValue = !isValue;
    offset = static_cast<int>(next);
  }
}

// Entries that attributes inserted one by one may move, per attribute and
// at first, before the rest are sorted and merged instead.
constexpr std::size_t kMovesPerAttribute = 16;
constexpr std::size_t kMovesAtFirst = 64;

// One attribute read from the bytes and not yet stored: its name's code
// units where they lie, and its value element.
struct Parsed {
  const char* name;
  std::uint32_t units;
  Element value;
};

// Sorts parsed attributes by kind, then by name with `order` (stable, so
// that of a name read twice the later value is stored last and wins), and
// says where the strings and the byte arrays start.
template <typename Order>
void sortParsed(std::vector<Parsed>& parsed, Order order, Parsed*& strings, Parsed*& arrays) {
  auto before = [&order](const Parsed& a, const Parsed& b) {
    if (a.value.tag != b.value.tag) return a.value.tag < b.value.tag;
    return order(a, b) < 0;
  };
  std::stable_sort(parsed.begin(), parsed.end(), before);
  Parsed* first = parsed.data();
  Parsed* last = first + parsed.size();
  auto firstOf = [last](Parsed* from, int tag) {
    return std::find_if(from, last, [tag](const Parsed& p) { return p.value.tag >= tag; });
  };
  strings = firstOf(first, Msg::STRING);
  arrays = firstOf(strings, Msg::BYTE_ARRAY);
}

// Stores sorted parsed attributes among the sorted entries of `list` in one
// pass: each goes through `put`, which appends it, or overwrites the entry
// of its name that was appended just before it.
template <typename List, typename Order, typename Put>
void mergeInto(List& list, const Parsed* from, const Parsed* to, Order order, Put put) {
  if (from == to) return;
  List held;
  held.reserve(list.size() + static_cast<std::size_t>(to - from));
  held.swap(list);
  std::size_t next = 0;
  try {
    for (; from != to; ++from) {
      int step = -1;
      while (next < held.size() && (step = order(held[next], *from)) < 0)
        list.push_back(held[next++]);
      if (step == 0) list.push_back(held[next++]);
      put(*from);
    }
  } catch (...) {
    // The room is reserved: the entries not yet merged go back without fail.
    list.insert(list.end(), held.begin() + static_cast<std::ptrdiff_t>(next), held.end());
    throw;
  }
  list.insert(list.end(), held.begin() + static_cast<std::ptrdiff_t>(next), held.end());
}

}  // namespace

Msg::Msg() { setType(UNSPECIFIED); }

Msg::Msg(const Msg& other) : DataStore(other) {}

Msg::~Msg() { deleteData(); }

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
  const Entry* entry = findEntry(m_vecInts, kTypeUnits, lengthOf(kTypeUnits));
  return static_cast<MsgType>(entry ? entry->number : UNSPECIFIED);
}

void Msg::setType(MsgType type) {
  putInt(kTypeUnits, lengthOf(kTypeUnits), static_cast<int>(type));
}

bool Msg::isSecure() const {
  return findEntry(m_vecByteArrays, kSignatureUnits, lengthOf(kSignatureUnits)) ||
         findEntry(m_vecByteArrays, kEncryptedUnits, lengthOf(kEncryptedUnits));
}

void Msg::toString(std::wstring& text) const {
  text.clear();
  auto line = [&text](const Entry& entry, const std::wstring& value) {
    text += textOf(entry.units(), entry.nameLength);
    text += L'=';
    text += value;
    text += L"\r\n";
  };
  for (const Entry& entry : m_vecInts) line(entry, std::to_wstring(entry.number));
  for (const Entry& entry : m_vecStrings) line(entry, textOf(entry.text(), entry.textLength));
  for (const Entry& entry : m_vecByteArrays) line(entry, std::to_wstring(byteCount(entry.bytes)));
}

std::wostream& operator<<(std::wostream& stream, const Msg& msg) {
  std::wstring text;
  msg.toString(text);
  return stream << text;
}

int Msg::getSerializedSizeRequirement() const {
  // Each attribute: two element headers and the name; then its value.
  std::int64_t total = 8;
  for (const Entry& entry : m_vecInts) total += 16 + 2 * std::int64_t{entry.nameLength} + 4;
  for (const Entry& entry : m_vecStrings)
    total += 16 + 2 * (std::int64_t{entry.nameLength} + entry.textLength);
  for (const Entry& entry : m_vecByteArrays)
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
  for (const Entry& entry : m_vecInts) {
    p = putName(p, entry);
    p = putInt32(p, INTEGER);
    p = putInt32(p, 4);
    p = putInt32(p, entry.number);
  }
  for (const Entry& entry : m_vecStrings) {
    p = putName(p, entry);
    p = putInt32(p, STRING);
    p = putInt32(p, static_cast<int>(entry.textLength * 2));
    p = putUnits(p, entry.text(), entry.textLength);
  }
  for (const Entry& entry : m_vecByteArrays) {
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
  if (getNextInt(in, offset) != 1)
    throw CommsException(SiteId::MsgUnsupportedVersion, L"Unsupported Message Version", kFile,
                         __LINE__, L"Msg::fromByteArray");
  if (getNextInt(in, offset) != in.getSize())
    throw CommsException(SiteId::MsgLengthMismatch, L"Incorrect message length value", kFile,
                         __LINE__, L"Msg::fromByteArray");

  std::size_t counts[4] = {};
  countAttributes(in, offset, counts);
  reserveAttributes(counts[INTEGER], counts[STRING], counts[BYTE_ARRAY]);

  // Names and texts go from the bytes into the store as they are: both hold
  // UTF-16 code units, and an odd last byte is left out.
  auto put = [this](const Parsed& p) {
    switch (p.value.tag) {
      case INTEGER:
        putInt(p.name, p.units, p.value.number);
        break;
      case STRING:
        putString(p.name, p.units, p.value.payload, static_cast<std::uint32_t>(p.value.length / 2));
        break;
      default:
        putByteArray(p.name, p.units, new ByteArray(p.value.payload, p.value.length));
        break;
    }
  };
  // Each attribute goes straight in while that moves few entries, as it does
  // for names in the order they are written. Once the entries moved outgrow
  // a bound linear in the attributes read, as names in descending order make
  // them, the rest are collected, sorted once and merged with the store.
  std::vector<Parsed> pending;
  bool collecting = false;
  std::size_t attributes = 0, moved = 0;
  auto add = [&](const Parsed& p) {
    ++attributes;
    if (collecting) {
      pending.push_back(p);
      return;
    }
    put(p);
    const Entries& list = p.value.tag == INTEGER  ? m_vecInts
                          : p.value.tag == STRING ? m_vecStrings
                                                  : m_vecByteArrays;
    // Not the last entry now: it went in before others, which moved.
    const Entry& last = list.back();
    if (last.nameLength != p.units ||
        std::memcmp(last.units(), p.name, std::size_t{p.units} * 2) != 0)
      moved += list.size();
    collecting = moved > kMovesPerAttribute * attributes + kMovesAtFirst;
  };
  auto store = [this, &pending, &put] {
    if (pending.empty()) return;
    auto nameOrder = [](const Parsed& a, const Parsed& b) {
      return compareNames(a.name, a.units, b.name, b.units);
    };
    auto entryOrder = [](const Entry& entry, const Parsed& p) {
      return compareNames(entry.units(), entry.nameLength, p.name, p.units);
    };
    Parsed* strings = nullptr;
    Parsed* arrays = nullptr;
    sortParsed(pending, nameOrder, strings, arrays);
    mergeInto(m_vecInts, pending.data(), strings, entryOrder, put);
    mergeInto(m_vecStrings, strings, arrays, entryOrder, put);
    mergeInto(m_vecByteArrays, arrays, pending.data() + pending.size(), entryOrder, put);
  };

  try {
    Element name{}, value{};
    while (readElement(in, offset, name)) {
      if (name.tag != STRING)
        throw CommsException(SiteId::MsgAttributeNameNotText,
                             L"Unexpected element data type when parsing Attribute Name", kFile,
                             __LINE__, L"Msg::fromByteArray");
      if (!readElement(in, offset, value))
        throw CommsException(SiteId::MsgAttributeValueMissing, L"Missing attribute value", kFile,
                             __LINE__, L"Msg::fromByteArray");
      add({name.payload, static_cast<std::uint32_t>(name.length / 2), value});
    }
  } catch (const CommsException&) {
    // What was read before the fault stays in the message.
    store();
    throw;
  }
  store();
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
