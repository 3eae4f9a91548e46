#include "kwtool/Console.h"

#include <kw/Tools.h>

#include <ostream>

namespace kwtool {

Console::Console(std::istream& in, std::ostream& out, std::ostream& err)
    : m_in(in), m_out(out), m_err(err) {}

void Console::print(const std::wstring& line) {
  m_out << kw::Tools::narrowWideString(line) << '\n';
}

int Console::help(const std::wstring& usage, const std::wstring& text) {
  print(usage);
  print(text);
  return 0;
}

void Console::printBytes(const std::string& bytes) { m_out.write(bytes.data(), bytes.size()); }

void Console::error(const std::wstring& message) {
  m_err << "kwtool: " << kw::Tools::narrowWideString(message) << '\n';
}

}  // namespace kwtool
