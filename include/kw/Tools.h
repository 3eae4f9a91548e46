#pragma once

#include <kw/Platform.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kw {

// Shared static helpers: trimming, splitting, case mapping, system error
// text, the clock and UTF-8 conversion.
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
  static void stringToLower(std::wstring& text);
  // The system's one-line text for an error code; `text` is left untouched
  // when the system has none.
  static void lookupErrorDescription(int code, std::wstring& text);
  // Seconds since 1970-01-01 00:00:00 UTC.
  static std::int64_t getCurrentTime();

  // UTF-8 <-> wide text, up to the first NUL; invalid sequences become
  // U+FFFD. An empty result on failure.
  static std::wstring widenNarrowString(const std::string& text);
  static std::string narrowWideString(const std::wstring& text);

  // The calling thread's account, split at "\\" or "/"; false when it
  // cannot be read or parsed.
  static bool getUserName(std::wstring& user, std::wstring& domain);
  // "Local\\Kestrelwright.Kestrelwright.<domain>.<user>." followed by
  // `name` (may be null): one object per user and session.
  static std::wstring createLocalObjectName(const wchar_t* name);

  Tools() = delete;

 protected:
  // getUserName's work on the account name the system gave.
  static bool parseUserName(const std::wstring& name, std::wstring& user, std::wstring& domain);
};

}  // namespace kw
