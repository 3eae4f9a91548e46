// Tools: static string, clock, text-conversion and identity helpers shared by the library.
#pragma once

#include <kw/Platform.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kw {

// Shared static helpers: trimming, splitting, case mapping, system error
// text, the clock, UTF-8 conversion, user and machine identity, and
// questions about this process and the foreground window.
class KW_API Tools {
 public:
  // Trims backslashes, slashes, tabs, dots, blanks, colons and semicolons
  // from both ends.
  static void cleanString(std::wstring& text);
  // Splits at any character of `delimiters`; never yields empty tokens.
  static void splitString(const std::wstring& text, std::vector<std::wstring>& tokens,
                          const std::wstring& delimiters);
  // ASCII letters only.
  static void stringToUpper(std::wstring& text);
  // ASCII letters only.
  static void stringToLower(std::wstring& text);
  // The system's one-line text for an error code; `text` is left untouched
  // when the system has none.
  static void lookupErrorDescription(int code, std::wstring& text);
  // Seconds since 1970-01-01 00:00:00 UTC.
  static std::int64_t getCurrentTime();

  // UTF-8 <-> wide text, up to the first NUL; invalid sequences become
  // U+FFFD. An empty result on failure.
  static std::wstring widenNarrowString(const std::string& text);
  // Wide text to UTF-8, as widenNarrowString the other way.
  static std::string narrowWideString(const std::wstring& text);

  // The calling thread's account, split at "\\" or "/"; false when it
  // cannot be read or parsed.
  static bool getUserName(std::wstring& user, std::wstring& domain);
  // "Local\\Kestrelwright.Kestrelwright.<domain>.<user>." followed by
  // `name` (may be null): one object per user and session.
  static std::wstring createLocalObjectName(const wchar_t* name);

  // The computer's name and its domain or workgroup; both empty and false
  // when the system cannot say.
  static bool getMachineName(std::wstring& machineName, std::wstring& domain);
  // Whether the process runs as the Local System account (on Linux: as
  // root, effective uid 0).
  static bool isCurrentUserLocalSystem();
  // Whether the foreground window belongs to this process.
  static bool isCurrentApp();
  // The foreground window when it belongs to this process, else null.
  static HWND getMyTopLevelHWND();
  // Whether `name` (not null) occurs anywhere in the executable's path,
  // ignoring ASCII case; a folder name matches too.
  static bool isThisProcess(const wchar_t* name);

  Tools() = delete;

 protected:
  // getUserName's work on the account name the system gave.
  static bool parseUserName(const std::wstring& name, std::wstring& user, std::wstring& domain);
  // The Local System account shows itself as the computer's own account,
  // "<machine>$"; the comparison is exact.
  static bool isMachineAccount(const std::wstring& user, const std::wstring& machineName);
  // isThisProcess's test on a given executable path.
  static bool pathHoldsName(std::wstring path, const wchar_t* name);
};

}  // namespace kw
