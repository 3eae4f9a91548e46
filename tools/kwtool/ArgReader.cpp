#include "kwtool/ArgReader.h"

#include "kwtool/UsageError.h"

namespace kwtool {

ArgReader::ArgReader(const std::vector<std::wstring>& args, std::size_t first, std::wstring usage)
    : m_args(args), m_next(first), m_usage(std::move(usage)) {}

bool ArgReader::nextOption(std::wstring& option) {
  if (m_optionsEnded || done()) return false;
  const std::wstring& next = m_args[m_next];
  if (next == L"--") {
    m_optionsEnded = true;
    ++m_next;
    return false;
  }
  if (next.size() < 2 || next[0] != L'-') return false;
  option = next;
  ++m_next;
  return true;
}

std::wstring ArgReader::value(const std::wstring& option) {
  if (done()) fail(option + L" needs a value");
  return take();
}

int ArgReader::count(const std::wstring& option) {
  const std::wstring text = value(option);
  int result = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9' || result > 99999999) fail(option + L" takes a positive number");
    result = result * 10 + (c - L'0');
  }
  if (text.empty() || result == 0) fail(option + L" takes a positive number");
  return result;
}

std::vector<std::wstring> ArgReader::rest() {
  std::vector<std::wstring> operands(m_args.begin() + static_cast<std::ptrdiff_t>(m_next),
                                     m_args.end());
  m_next = m_args.size();
  return operands;
}

void ArgReader::fail(const std::wstring& message) const { throw UsageError(message, m_usage); }

void ArgReader::unknown(const std::wstring& option) const { fail(L"unknown option " + option); }

}  // namespace kwtool
