// The error for a bad command line: message and usage line, exit code 2.
#pragma once

#include <string>

namespace kwtool {

// Bad command line: the tool prints the message and the command's usage
// line, and exits with 2.
class UsageError {
 public:
  UsageError(std::wstring message, std::wstring usage)
      : m_strMessage(std::move(message)), m_strUsage(std::move(usage)) {}

  const std::wstring& message() const { return m_strMessage; }
  const std::wstring& usage() const { return m_strUsage; }

 private:
  std::wstring m_strMessage;
  std::wstring m_strUsage;
};

}  // namespace kwtool
