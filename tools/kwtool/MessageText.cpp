// A message's type and attributes as lines of text, read from its wire
// bytes so that names and values come out exactly.
#include "kwtool/MessageText.h"

#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kwtool/Attribute.h"
#include "kwtool/SafeText.h"

namespace kwtool {

namespace {

// Reads the elements of serialised bytes that Msg::toByteArray wrote, so
// names and values come out exactly, whatever characters they hold.
class Elements {
 public:
  explicit Elements(const kw::ByteArray& bytes)
      : m_pData(reinterpret_cast<const unsigned char*>(bytes.getData())),
        m_nSize(static_cast<std::size_t>(bytes.getSize())) {}

  bool done() const { return m_nOffset + 8 > m_nSize; }

  // One element: its type and its payload.
  void next(int& type, std::size_t& start, std::size_t& length) {
    type = intAt(m_nOffset);
    length = static_cast<std::size_t>(intAt(m_nOffset + 4));
    start = m_nOffset + 8;
    m_nOffset = start + length;
  }

  std::int32_t intAt(std::size_t offset) const {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | m_pData[offset + i];
    return static_cast<std::int32_t>(value);
  }

  // Text from elsewhere, escaped; characters of `alsoEscaped` too.
  std::wstring text(std::size_t start, std::size_t length, const wchar_t* alsoEscaped = L"") const {
    std::vector<std::uint16_t> units(length / 2);
    for (std::size_t i = 0; i < units.size(); ++i)
      units[i] =
          static_cast<std::uint16_t>(m_pData[start + 2 * i] | m_pData[start + 2 * i + 1] << 8);
    return SafeText::fromUtf16(units.data(), units.size(), alsoEscaped);
  }

  kw::ByteArray bytes(std::size_t start, std::size_t length) const {
    return kw::ByteArray(reinterpret_cast<const char*>(m_pData + start), static_cast<int>(length));
  }

 private:
  const unsigned char* m_pData;
  std::size_t m_nSize;
  std::size_t m_nOffset = 8;  // past the version and the total length
};

}  // namespace

void MessageText::print(const kw::Msg& msg, Console& console) {
  console.print(L"Type: " + std::wstring(kw::Msg::getTypeName(msg.getType())) + L" (" +
                std::to_wstring(static_cast<int>(msg.getType())) + L")");
  kw::ByteArray bytes;
  msg.toByteArray(bytes);
  Elements elements(bytes);
  while (!elements.done()) {
    int type = 0;
    std::size_t start = 0;
    std::size_t length = 0;
    elements.next(type, start, length);
    // The first "=" ends the name, so one inside it shows escaped.
    const std::wstring name = elements.text(start, length, L"=");
    elements.next(type, start, length);
    if (type == kw::Msg::INTEGER) {
      console.print(Attribute::toArgument(name, elements.intAt(start)));
    } else if (type == kw::Msg::STRING) {
      console.print(Attribute::toArgument(name, elements.text(start, length)));
    } else {
      console.print(Attribute::toArgument(name, elements.bytes(start, length)));
    }
  }
}

}  // namespace kwtool
