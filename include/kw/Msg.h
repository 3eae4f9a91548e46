// Msg: a typed message and its binary wire format.
#pragma once

#include <kw/DataStore.h>

#include <iosfwd>
#include <string>

namespace kw {

// A typed message: a DataStore whose int attribute "MsgType" holds its
// type, with one binary wire format shared by every process of the suite.
class KW_API Msg : public DataStore {
 public:
  // The message types, held in the int attribute "MsgType".
  enum MsgType : int {
    UNSPECIFIED = 0,
    ERROR_MSG = 1,
    SYSTEM_STATE_CHANGE = 2,
    APPLICATION_CHANGE = 3,
    ACKNOWLEDGEMENT = 4,
    UPDATE = 5,
    CHALLENGE_REQUEST = 6,
    CHALLENGE_RESPONSE = 7,
    AUTHENTICATION_REQUEST = 8,
    AUTHENTICATION_RESPONSE = 9,
    USER_INFO_UPDATE = 10,
    SYSTEM_EVENT = 11,
    PLUGIN_INFO = 12,
    SYSTEM_CHANGE_SERVICE = 13,
    HTTP_COMM_DEVICE = 14
  };

  // Element type tags of the wire format.
  enum DataType : int { INTEGER = 1, STRING = 2, BYTE_ARRAY = 3 };

  Msg();
  // A deep copy of every attribute.
  Msg(const Msg& other);
  virtual ~Msg();
  // Replaces every attribute with a deep copy of the other's.
  Msg& operator=(const Msg& other);

  // "Unknown" for values outside the enumeration.
  static const wchar_t* getTypeName(MsgType type);
  // The "MsgType" attribute; UNSPECIFIED when absent.
  MsgType getType() const;
  // Sets the "MsgType" attribute.
  void setType(MsgType type);
  // Whether a byte-array attribute "Signature" or "EncryptedData" is present.
  bool isSecure() const;

  // One "name=value\r\n" line per attribute; byte arrays show their size.
  void toString(std::wstring& text) const;

  // Replaces `out` with the message's wire bytes.
  void toByteArray(ByteArray& out) const;
  // Adds the attributes the bytes carry; throws CommsException on malformed input.
  void fromByteArray(const ByteArray& in);

 protected:
  // The wire size, computed without serialising.
  int getSerializedSizeRequirement() const;
  // Reads the element at `offset` and moves past it; false at the end.
  bool getNextElement(const ByteArray& data, int& offset, int& intValue, std::wstring& stringValue,
                      ByteArray*& byteArrayValue, DataType& type);
  // Reads a 4-byte little-endian integer at `offset` and moves past it.
  int getNextInt(const ByteArray& data, int& offset);
};

// Writes the text of toString.
KW_API std::wostream& operator<<(std::wostream& stream, const Msg& msg);

}  // namespace kw
