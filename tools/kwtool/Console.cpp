// kwtool's output: wide text as UTF-8, or in the C runtime's locale as the
// library's console device writes it.
#include "kwtool/Console.h"

#include <kw/Tools.h>

#include <cwchar>
#include <ostream>

#include "LocaleText.h"

namespace kwtool {

Console::Console(std::istream& in, std::ostream& out, std::ostream& err, Encoding encoding)
    : m_in(in), m_out(out), m_err(err), m_eEncoding(encoding) {}

std::string Console::encode(const std::wstring& text) const {
  return m_eEncoding == Encoding::Locale ? kw::toLocaleText(text)
                                         : kw::Tools::narrowWideString(text);
}

std::wstring Console::decode(const std::string& bytes) const {
  if (m_eEncoding == Encoding::Utf8) return kw::Tools::widenNarrowString(bytes);
  std::wstring text;
  std::mbstate_t state{};
  const char* next = bytes.data();
  const char* end = next + bytes.size();
  while (next < end) {
    wchar_t c = 0;
    const std::size_t size = std::mbrtowc(&c, next, static_cast<std::size_t>(end - next), &state);
    // A byte the locale does not decode stands for itself.
    if (size == static_cast<std::size_t>(-1) || size == static_cast<std::size_t>(-2)) {
      text += static_cast<wchar_t>(static_cast<unsigned char>(*next++));
      state = std::mbstate_t{};
      continue;
    }
    text += c;
    next += size == 0 ? 1 : size;
  }
  return text;
}

void Console::print(const std::wstring& line) { m_out << encode(line) << '\n'; }

void Console::write(const std::wstring& text) { m_out << encode(text); }

int Console::help(const std::wstring& usage, const std::wstring& text) {
  print(usage);
  print(text);
  return 0;
}

void Console::error(const std::wstring& message, const std::wstring& usage) {
  m_err << "kwtool: " << encode(message) << '\n';
  if (!usage.empty()) m_err << encode(usage) << '\n';
}

}  // namespace kwtool
