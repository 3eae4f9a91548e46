// The error for input that kwtool will not take.
#pragma once

#include <string>

namespace kwtool {

// Input that the tool will not take (too large for what must carry it): the
// tool prints the message and exits with 1.
class Refusal {
 public:
  explicit Refusal(std::wstring message) : m_strMessage(std::move(message)) {}

  const std::wstring& message() const { return m_strMessage; }

 private:
  std::wstring m_strMessage;
};

}  // namespace kwtool
