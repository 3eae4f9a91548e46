// kwtool's three standard streams and the encoding of its text.
#pragma once

#include <iosfwd>
#include <string>

namespace kwtool {

// The tool's three streams. Line ends are "\n".
class Console {
 public:
  // How text becomes bytes: UTF-8, or the C runtime's current locale, which
  // is how the library's console device writes to the same standard output
  // on Windows.
  enum class Encoding { Utf8, Locale };

  Console(std::istream& in, std::ostream& out, std::ostream& err,
          Encoding encoding = Encoding::Utf8);

  std::istream& in() { return m_in; }
  std::ostream& out() { return m_out; }

  // Bytes read in the console's encoding, as wide text.
  std::wstring decode(const std::string& bytes) const;

  void print(const std::wstring& line);
  void write(const std::wstring& text);
  // The usage line and the help text on the output stream; returns 0.
  int help(const std::wstring& usage, const std::wstring& text);
  // "kwtool: <message>" on the error stream, then the usage line if one is given.
  void error(const std::wstring& message, const std::wstring& usage = std::wstring());

 private:
  std::string encode(const std::wstring& text) const;

  std::istream& m_in;
  std::ostream& m_out;
  std::ostream& m_err;
  Encoding m_eEncoding;
};

}  // namespace kwtool
