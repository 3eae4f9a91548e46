#include <kw/CommsException.h>
#include <kw/Msg.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>

#include "Utf16.h"

namespace kw {

namespace {

const wchar_t kTypeAttribute[] = L"MsgType";

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

// A null byte-array attribute travels as an empty one.
inline int byteCount(const ByteArray* value) { return value ? value->getSize() : 0; }

inline std::int64_t textBytes(const std::wstring& text) {
  return 2 * static_cast<std::int64_t>(utf16::unitCount(text));
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
  int value = UNSPECIFIED;
  getAttributeValue(kTypeAttribute, value);
  return static_cast<MsgType>(value);
}

void Msg::setType(MsgType type) { setAttributeValue(kTypeAttribute, static_cast<int>(type)); }

bool Msg::isSecure() const {
  return containsByteArrayAttribute(L"Signature") || containsByteArrayAttribute(L"EncryptedData");
}

void Msg::toString(std::wstring& text) const {
  text.clear();
  for (const auto& entry : m_mapInts)
    text += entry.first + L"=" + std::to_wstring(entry.second) + L"\r\n";
  for (const auto& entry : m_mapStrings) text += entry.first + L"=" + entry.second + L"\r\n";
  for (const auto& entry : m_mapByteArrays)
    text += entry.first + L"=" + std::to_wstring(byteCount(entry.second)) + L"\r\n";
}

std::wostream& operator<<(std::wostream& stream, const Msg& msg) {
  std::wstring text;
  msg.toString(text);
  return stream << text;
}

int Msg::getSerializedSizeRequirement() const {
  std::int64_t total = 8;
  for (const auto& entry : m_mapInts) total += 8 + textBytes(entry.first) + 8 + 4;
  for (const auto& entry : m_mapStrings)
    total += 8 + textBytes(entry.first) + 8 + textBytes(entry.second);
  for (const auto& entry : m_mapByteArrays)
    total += 8 + textBytes(entry.first) + 8 + byteCount(entry.second);
  // The length field is a signed 32-bit number.
  if (total > INT32_MAX)
    throw CommsException(1050605, L"Message too large to serialise", L".\\src\\Msg", __LINE__,
                         L"Msg::getSerializedSizeRequirement");
  return static_cast<int>(total);
}

void Msg::toByteArray(ByteArray& out) const {
  out.clear();
  int total = getSerializedSizeRequirement();
  out.ensure(total);
  out += 1;
  out += total;
  auto appendName = [&out](const std::wstring& name) {
    out += static_cast<int>(STRING);
    out += static_cast<int>(textBytes(name));
    out += name;
  };
  for (const auto& entry : m_mapInts) {
    appendName(entry.first);
    out += static_cast<int>(INTEGER);
    out += 4;
    out += entry.second;
  }
  for (const auto& entry : m_mapStrings) {
    appendName(entry.first);
    out += static_cast<int>(STRING);
    out += static_cast<int>(textBytes(entry.second));
    out += entry.second;
  }
  for (const auto& entry : m_mapByteArrays) {
    appendName(entry.first);
    out += static_cast<int>(BYTE_ARRAY);
    out += byteCount(entry.second);
    if (entry.second) out += *entry.second;
  }
}

void Msg::fromByteArray(const ByteArray& in) {
  int offset = 0;
  if (getNextInt(in, offset) != 1)
    throw CommsException(1050601, L"Unsupported Message Version", L".\\src\\Msg", __LINE__,
                         L"Msg::fromByteArray");
  if (getNextInt(in, offset) != in.getSize())
    throw CommsException(1050602, L"Incorrect message length value", L".\\src\\Msg", __LINE__,
                         L"Msg::fromByteArray");

  std::wstring name;
  std::wstring text;
  int number = 0;
  DataType type = INTEGER;
  for (;;) {
    ByteArray* bytes = nullptr;
    if (!getNextElement(in, offset, number, name, bytes, type)) return;
    std::unique_ptr<ByteArray> nameBytes(bytes);
    if (type != STRING)
      throw CommsException(1050603, L"Unexpected element data type when parsing Attribute Name",
                           L".\\src\\Msg", __LINE__, L"Msg::fromByteArray");
    bytes = nullptr;
    if (!getNextElement(in, offset, number, text, bytes, type))
      throw CommsException(1050604, L"Missing attribute value", L".\\src\\Msg", __LINE__,
                           L"Msg::fromByteArray");
    switch (type) {
      case INTEGER:
        setAttributeValue(name, number);
        break;
      case STRING:
        setAttributeValue(name, text);
        break;
      case BYTE_ARRAY:
        setAttributeValue(name, bytes);
        break;
    }
  }
}

bool Msg::getNextElement(const ByteArray& data, int& offset, int& intValue,
                         std::wstring& stringValue, ByteArray*& byteArrayValue, DataType& type) {
  const std::int64_t size = data.getSize();
  if (offset >= size) return false;
  if (static_cast<std::int64_t>(offset) + 8 > size)
    throw CommsException(1050606, L"Insufficient bytes to read element header", L".\\src\\Msg",
                         __LINE__, L"Msg::getNextElement");
  int tag = getNextInt(data, offset);
  int length = getNextInt(data, offset);
  // A negative length would move the reading position backwards.
  if (length < 0 || static_cast<std::int64_t>(offset) + length > size)
    throw CommsException(1050607, L"Insufficient bytes to read full element", L".\\src\\Msg",
                         __LINE__, L"Msg::getNextElement");
  switch (tag) {
    case INTEGER:
      intValue = getNextInt(data, offset);
      break;
    case STRING:
      stringValue.clear();
      utf16::appendFromLE(stringValue, data.getData() + offset,
                          static_cast<std::size_t>(length / 2));
      offset += length;
      break;
    case BYTE_ARRAY:
      byteArrayValue = new ByteArray(data.getData() + offset, length);
      offset += length;
      break;
    default:
      throw CommsException(1050608, L"Unknown element type", L".\\src\\Msg", __LINE__,
                           L"Msg::getNextElement");
  }
  type = static_cast<DataType>(tag);
  return true;
}

int Msg::getNextInt(const ByteArray& data, int& offset) {
  if (static_cast<std::int64_t>(offset) + 4 > data.getSize())
    throw CommsException(1050609, L"Insufficient bytes to read int", L".\\src\\Msg", __LINE__,
                         L"Msg::getNextInt");
  const auto* p = reinterpret_cast<const unsigned char*>(data.getData() + offset);
  offset += 4;
  return static_cast<int>(
      static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

}  // namespace kw
