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

std::vector<std::wstring> ArgReader::rest() {
  std::vector<std::wstring> operands(m_args.begin() + static_cast<std::ptrdiff_t>(m_next),
                                     m_args.end());
  m_next = m_args.size();
  return operands;
}

void ArgReader::fail(const std::wstring& message) const { throw UsageError(message, m_usage); }

void ArgReader::unknown(const std::wstring& option) const { fail(L"unknown option " + option); }

}  // namespace kwtool
