// Parsing of kwtool's typed NAME[:TYPE]=VALUE arguments, and their wire size.
#include "kwtool/Attribute.h"

#include <kw/Msg.h>
#include <kw/Tools.h>

#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <limits>

#include "kwtool/BinaryFile.h"
#include "kwtool/HexText.h"
#include "kwtool/Refusal.h"
#include "kwtool/SafeText.h"
#include "kwtool/UsageError.h"

namespace kwtool {

namespace {

const wchar_t kTypeAttribute[] = L"MsgType";

bool isDecimal(const std::wstring& text) {
  std::size_t start = !text.empty() && (text[0] == L'-' || text[0] == L'+') ? 1 : 0;
  if (start == text.size()) return false;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

bool parseDecimal(const std::wstring& text, int& value) {
  if (!isDecimal(text)) return false;
  errno = 0;
  long long parsed = std::wcstoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || parsed < std::numeric_limits<int>::min() ||
      parsed > std::numeric_limits<int>::max())
    return false;
  value = static_cast<int>(parsed);
  return true;
}

// 0x1F or 0XFFFFFFFF: the bits of a DWORD.
bool parseHexInt(const std::wstring& text, int& value) {
  if (text.size() < 3 || text.size() > 10 || text[0] != L'0' || (text[1] | 0x20) != L'x')
    return false;
  std::uint32_t bits = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const int digit = HexText::digitValue(static_cast<std::uint32_t>(text[i]));
    if (digit < 0) return false;
    bits = bits << 4 | static_cast<std::uint32_t>(digit);
  }
  value = static_cast<int>(bits);
  return true;
}

bool parseTypeName(const std::wstring& text, int& value) {
  std::wstring wanted = text;
  kw::Tools::stringToUpper(wanted);
  for (int type = kw::Msg::UNSPECIFIED; type <= kw::Msg::HTTP_COMM_DEVICE; ++type) {
    if (wanted == kw::Msg::getTypeName(static_cast<kw::Msg::MsgType>(type))) {
      value = type;
      return true;
    }
  }
  return false;
}

// Wire text counts UTF-16 code units: two for a character beyond U+FFFF.
std::int64_t utf16Bytes(const std::wstring& text) {
  std::int64_t units = 0;
  // Never beyond U+FFFF where wchar_t is a UTF-16 unit already (Windows).
  for (wchar_t c : text) units += (static_cast<std::uint32_t>(c) >> 16) != 0 ? 2 : 1;
  return 2 * units;
}

// The content of a NAME:file=PATH attribute's file.
void readFile(const std::wstring& path, const std::wstring& usage, std::int64_t maxBytes,
              kw::ByteArray& bytes) {
  std::string content;
  std::wstring error;
  switch (BinaryFile::read(path, content, maxBytes, error)) {
    case BinaryFile::Read:
      break;
    case BinaryFile::Failed:
      throw UsageError(error, usage);
    case BinaryFile::TooLarge:
      throw Refusal(error);
  }
  bytes.copyData(content.data(), static_cast<int>(content.size()));
}

}  // namespace

Attribute Attribute::parse(const std::wstring& argument, const std::wstring& usage,
                           std::int64_t maxFileBytes, Form form) {
  std::size_t equals = argument.find(L'=');
  if (equals == std::wstring::npos)
    throw UsageError(L"expected NAME=VALUE, got \"" + argument + L"\"", usage);

  Attribute attribute;
  std::wstring left = argument.substr(0, equals);
  std::wstring value = argument.substr(equals + 1);
  std::wstring type;
  std::size_t colon = left.rfind(L':');
  if (colon != std::wstring::npos) {
    std::wstring suffix = left.substr(colon + 1);
    if (suffix == L"int" || suffix == L"str" || suffix == L"hex" || suffix == L"file") {
      type = suffix;
      left.erase(colon);
    }
  }
  if (form == Form::Line) {
    // Split first: an escaped "=" or ":" belongs to the name or the value.
    std::wstring error;
    if (!SafeText::unescape(std::wstring(left), left, error) ||
        !SafeText::unescape(std::wstring(value), value, error))
      throw UsageError(error + L" (in \"" + argument + L"\")", usage);
  }
  attribute.m_strName = left;

  auto bad = [&](const wchar_t* what) {
    return UsageError(L"\"" + value + L"\" is not " + what + L" (in \"" + argument + L"\")", usage);
  };
  if (type.empty()) {
    if (parseDecimal(value, attribute.m_nInt) ||
        (left == kTypeAttribute && parseTypeName(value, attribute.m_nInt))) {
      attribute.m_eKind = Int;
    } else {
      attribute.m_eKind = String;
      attribute.m_strText = value;
    }
  } else if (type == L"int") {
    attribute.m_eKind = Int;
    if (!parseDecimal(value, attribute.m_nInt) && !parseHexInt(value, attribute.m_nInt) &&
        !(left == kTypeAttribute && parseTypeName(value, attribute.m_nInt)))
      throw bad(L"a 32-bit integer");
  } else if (type == L"str") {
    attribute.m_eKind = String;
    attribute.m_strText = value;
  } else if (type == L"hex") {
    attribute.m_eKind = Bytes;
    if (!HexText::decode(kw::Tools::narrowWideString(value), attribute.m_bytes))
      throw bad(L"an even number of hex digits");
  } else {
    attribute.m_eKind = Bytes;
    readFile(value, usage, maxFileBytes, attribute.m_bytes);
  }
  return attribute;
}

std::int64_t Attribute::wireSize() const {
  // Two element headers of 8 bytes each.
  std::int64_t size = 16 + utf16Bytes(m_strName);
  switch (m_eKind) {
    case Int:
      return size + 4;
    case String:
      return size + utf16Bytes(m_strText);
    case Bytes:
      break;
  }
  return size + m_bytes.getSize();
}

void Attribute::addTo(kw::DataStore& store) const {
  switch (m_eKind) {
    case Int:
      store.setAttributeValue(m_strName, m_nInt);
      break;
    case String:
      store.setAttributeValue(m_strName, m_strText);
      break;
    case Bytes:
      store.setAttributeValue(m_strName, new kw::ByteArray(m_bytes));
      break;
  }
}

bool Attribute::writeTo(const kw::Registry& registry) const {
  switch (m_eKind) {
    case Int:
      return registry.write(m_strName.c_str(), m_nInt);
    case String:
      return registry.write(m_strName.c_str(), m_strText);
    case Bytes:
      break;
  }
  return registry.write(m_strName.c_str(), m_bytes);
}

std::wstring Attribute::toArgument(const std::wstring& name, int value) {
  return name + L":int=" + std::to_wstring(value);
}

std::wstring Attribute::toArgument(const std::wstring& name, const std::wstring& value) {
  return name + L":str=" + value;
}

std::wstring Attribute::toArgument(const std::wstring& name, const kw::ByteArray& value) {
  return name + L":hex=" + kw::Tools::widenNarrowString(HexText::encode(value));
}

}  // namespace kwtool
