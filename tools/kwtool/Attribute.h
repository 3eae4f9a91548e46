// One typed attribute from kwtool's command line, for a message or a setting.
#pragma once

#include <kw/ByteArray.h>
#include <kw/DataStore.h>
#include <kw/Registry.h>

#include <cstdint>
#include <string>

namespace kwtool {

// One typed value from the command line:
//   NAME=VALUE        an int when VALUE is a decimal int32, else a string
//   NAME:int=VALUE    decimal, or 0x and up to eight hex digits
//   NAME:str=VALUE    a string, whatever it looks like
//   NAME:hex=DIGITS   bytes given as hex digits
//   NAME:file=PATH    bytes read from a file
// MsgType=NAME also takes a message type name such as SYSTEM_STATE_CHANGE.
class Attribute {
 public:
  enum Kind { Int, String, Bytes };
  // An argument is taken as it stands; a line, as decode prints it, has its
  // name and value escaped (\\, \n, \xHH, \uHHHH, ...).
  enum class Form { Argument, Line };

  // Throws UsageError, whose usage line is `usage`, on a malformed argument,
  // and Refusal for a file of more than `maxFileBytes`.
  static Attribute parse(const std::wstring& argument, const std::wstring& usage,
                         std::int64_t maxFileBytes, Form form = Form::Argument);

  // What the attribute adds to a serialised message: its name element and
  // its value element.
  std::int64_t wireSize() const;

  const std::wstring& name() const { return m_strName; }
  Kind kind() const { return m_eKind; }

  void addTo(kw::DataStore& store) const;
  bool writeTo(const kw::Registry& registry) const;
  // The form parse() reads back, e.g. "Retries:int=3".
  static std::wstring toArgument(const std::wstring& name, int value);
  static std::wstring toArgument(const std::wstring& name, const std::wstring& value);
  static std::wstring toArgument(const std::wstring& name, const kw::ByteArray& value);

 private:
  Attribute() = default;

  std::wstring m_strName;
  Kind m_eKind = String;
  int m_nInt = 0;
  std::wstring m_strText;
  kw::ByteArray m_bytes;
};

}  // namespace kwtool
