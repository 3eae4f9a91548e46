#pragma once

#include <string>
#include <vector>

namespace kwtool {

// Walks one command's arguments: options first ("--name", "-h"), then the
// operands; "--" ends the options and "-" is an operand.
class ArgReader {
 public:
  ArgReader(const std::vector<std::wstring>& args, std::size_t first, std::wstring usage);

  static bool isHelp(const std::wstring& arg) { return arg == L"--help" || arg == L"-h"; }

  const std::wstring& usage() const { return m_usage; }
  bool done() const { return m_next >= m_args.size(); }
  // True and consumes it when the next argument is an option; "--" is
  // consumed and ends the options.
  bool nextOption(std::wstring& option);
  // The value that follows an option; a usage error when there is none.
  std::wstring value(const std::wstring& option);
  // The option's value as a decimal above 0; a usage error otherwise.
  int count(const std::wstring& option);
  std::wstring take() { return m_args[m_next++]; }
  std::vector<std::wstring> rest();
  // Throws UsageError with this command's usage line.
  [[noreturn]] void fail(const std::wstring& message) const;
  [[noreturn]] void unknown(const std::wstring& option) const;

 private:
  const std::vector<std::wstring>& m_args;
  std::size_t m_next;
  bool m_optionsEnded = false;
  std::wstring m_usage;
};

}  // namespace kwtool
