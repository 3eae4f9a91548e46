// The error for a bad command line: message and usage line, exit code 2.
#pragma once

#include <string>

namespace kwtool {

// Bad command line: the tool prints the message and the command's usage
// line, and exits with 2.
class UsageError {
 public:
  UsageError(std::wstring message, std::wstring usage)
      : m_message(std::move(message)), m_usage(std::move(usage)) {}

  const std::wstring& message() const { return m_message; }
  const std::wstring& usage() const { return m_usage; }

 private:
  std::wstring m_message;
  std::wstring m_usage;
};

}  // namespace kwtool
