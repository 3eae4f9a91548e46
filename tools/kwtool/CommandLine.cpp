// The option reader that every kwtool command shares.
#include "kwtool/CommandLine.h"

#include "kwtool/UsageError.h"

namespace kwtool {

namespace {

// A decimal from 1 to 999999999, or 0.
int parseCount(const std::wstring& text) {
  int result = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9' || result > 99999999) return 0;
    result = result * 10 + (c - L'0');
  }
  return result;
}

}  // namespace

CommandLine::CommandLine(const std::vector<std::wstring>& args, std::size_t first,
                         std::wstring usage, const std::vector<Option>& options,
                         std::wstring action)
    : m_strUsage(std::move(usage)), m_strAction(std::move(action)) {
  read(args, first, options);
}

void CommandLine::read(const std::vector<std::wstring>& args, std::size_t first,
                       const std::vector<Option>& options) {
  std::size_t next = first;
  while (next < args.size()) {
    const std::wstring& arg = args[next];
    if (arg == L"--") {
      ++next;
      break;
    }
    if (arg.size() < 2 || arg[0] != L'-') break;
    ++next;
    if (isHelp(arg)) {
      m_bHelp = true;
      return;
    }
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (arg == candidate.spelling) option = &candidate;
    }
    if (!option) fail(L"unknown option " + arg);
    if (option->kind == Option::Flag) {
      take(*option, arg);
      continue;
    }
    if (next == args.size()) fail(arg + L" needs a value");
    take(*option, args[next++]);
  }
  m_vecOperands.assign(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
}

void CommandLine::take(const Option& option, const std::wstring& value) {
  if (option.kind == Option::Count && parseCount(value) == 0)
    fail(std::wstring(option.spelling) + L" takes a positive number");
  if (option.accepts && !option.accepts(value)) fail(option.refusal + value);
  m_mapValues[option.key] = value;
}

std::wstring CommandLine::text(const std::wstring& key, const std::wstring& otherwise) const {
  auto found = m_mapValues.find(key);
  return found == m_mapValues.end() ? otherwise : found->second;
}

int CommandLine::count(const std::wstring& key, int otherwise) const {
  return has(key) ? parseCount(text(key)) : otherwise;
}

void CommandLine::fail(const std::wstring& message) const { throw UsageError(message, m_strUsage); }

}  // namespace kwtool
