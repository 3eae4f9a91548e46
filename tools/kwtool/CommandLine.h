// The option reader that every kwtool command shares: one command's
// arguments, read against the options that its table entry lists.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kwtool {

// Options come first ("--name", "-h"), then the operands; "--" ends the
// options and "-" is an operand. "--help" or "-h" stops the reading.
class CommandLine {
 public:
  struct Option {
    enum Kind {
      Flag,   // stands alone; its spelling is its value
      Value,  // takes the next argument
      Count   // takes the next argument, a decimal above 0
    };
    const wchar_t* spelling;
    // Where the value goes: of the spellings that share a key, the last
    // one given counts.
    const wchar_t* key;
    Kind kind;
    // For a Value: false for one the option does not take, whose usage
    // error is `refusal` followed by the value.
    bool (*accepts)(const std::wstring& value) = nullptr;
    const wchar_t* refusal = nullptr;
  };

  // Throws UsageError, with `usage`, for an option that is not in `options`
  // or a value that it does not take.
  CommandLine(const std::vector<std::wstring>& args, std::size_t first, std::wstring usage,
              const std::vector<Option>& options, std::wstring action = std::wstring());

  static bool isHelp(const std::wstring& arg) { return arg == L"--help" || arg == L"-h"; }

  bool helpAsked() const { return m_bHelp; }
  const std::wstring& usage() const { return m_strUsage; }
  // The subcommand that came before the options (reg get), or empty.
  const std::wstring& action() const { return m_strAction; }
  bool has(const std::wstring& key) const { return m_mapValues.count(key) != 0; }
  std::wstring text(const std::wstring& key, const std::wstring& otherwise = std::wstring()) const;
  int count(const std::wstring& key, int otherwise) const;
  const std::vector<std::wstring>& operands() const { return m_vecOperands; }
  // Throws UsageError with this command's usage line.
  [[noreturn]] void fail(const std::wstring& message) const;

 private:
  void read(const std::vector<std::wstring>& args, std::size_t first,
            const std::vector<Option>& options);
  void take(const Option& option, const std::wstring& value);

  std::wstring m_strUsage;
  std::wstring m_strAction;
  bool m_bHelp = false;
  std::map<std::wstring, std::wstring> m_mapValues;
  std::vector<std::wstring> m_vecOperands;
};

}  // namespace kwtool
