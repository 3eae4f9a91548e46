#pragma once

#include <iosfwd>
#include <string>

namespace kwtool {

// The tool's three streams. Text goes out as UTF-8; line ends are "\n".
class Console {
 public:
  Console(std::istream& in, std::ostream& out, std::ostream& err);

  std::istream& in() { return m_in; }
  std::ostream& out() { return m_out; }

  void print(const std::wstring& line);
  // The usage line and the help text on the output stream; returns 0.
  int help(const std::wstring& usage, const std::wstring& text);
  void printBytes(const std::string& bytes);
  // "kwtool: <message>" on the error stream.
  void error(const std::wstring& message);

 private:
  std::istream& m_in;
  std::ostream& m_out;
  std::ostream& m_err;
};

}  // namespace kwtool
