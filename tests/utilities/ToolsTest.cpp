// Tests of Tools' text helpers: trimming, splitting, case mapping, error text, the clock and UTF-8
// conversion.
#include <gtest/gtest.h>
#include <kw/Tools.h>

#include <chrono>
#include <tuple>
#include <utility>
#include <vector>

using kw::Tools;

TEST(ToolsCleanString, TrimsOnlyTheEnds) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"\\Software\\Kestrelwright\\", L"Software\\Kestrelwright"},
      {L" ..;; . ", L""},
      {L"a..b", L"a..b"},
      {L"\t/:C:\\x;./", L"C:\\x"},
      {L"", L""},
  };
  for (const auto& [input, cleaned] : cases) {
    std::wstring text = input;
    Tools::cleanString(text);
    EXPECT_EQ(text, cleaned) << Tools::narrowWideString(input);
  }
}

TEST(ToolsSplitString, DelimitersAreASetAndYieldNoEmptyTokens) {
  using Tokens = std::vector<std::wstring>;
  const std::tuple<const wchar_t*, const wchar_t*, Tokens> cases[] = {
      {L"DOMAIN\\user", L"\\/", {L"DOMAIN", L"user"}},
      {L"//a\\\\b/", L"\\/", {L"a", L"b"}},
      {L"", L"\\/", {}},
      {L"\\//\\", L"\\/", {}},
      {L"abc", L"", {L"abc"}},
  };
  for (const auto& [text, delimiters, expected] : cases) {
    // What the list held before goes.
    Tokens tokens{L"stale"};
    Tools::splitString(text, tokens, delimiters);
    EXPECT_EQ(tokens, expected) << Tools::narrowWideString(text);
  }
}

TEST(ToolsCase, OnlyAsciiLettersChange) {
  std::wstring text = L"abc\u00e9Z1";
  Tools::stringToUpper(text);
  EXPECT_EQ(text, L"ABC\u00e9Z1");
  Tools::stringToLower(text);
  EXPECT_EQ(text, L"abc\u00e9z1");
}

TEST(ToolsLookupErrorDescription, OneLineOrUntouched) {
  std::wstring text;
  Tools::lookupErrorDescription(2, text);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);

  text = L"previous";
  Tools::lookupErrorDescription(0x7ABCDEF, text);
  EXPECT_EQ(text, L"previous");
}

TEST(ToolsGetCurrentTime, IsUnixSeconds) {
  // The system clock read as the library reads it: time() may lag a tick behind.
  using Clock = std::chrono::system_clock;
  const std::int64_t before = Clock::to_time_t(Clock::now());
  const std::int64_t now = Tools::getCurrentTime();
  EXPECT_GE(now, before);
  EXPECT_LE(now, static_cast<std::int64_t>(Clock::to_time_t(Clock::now())));
}

TEST(ToolsConversion, Utf8RoundTripsAllPlanes) {
  EXPECT_EQ(Tools::widenNarrowString("\xC3\xA9"), L"\u00e9");
  EXPECT_EQ(Tools::widenNarrowString(""), L"");
  EXPECT_EQ(Tools::narrowWideString(L""), "");

  // U+1F600 is a surrogate pair on Windows and one wchar_t on Linux.
  const std::string narrow = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::wstring wide = Tools::widenNarrowString(narrow);
  EXPECT_EQ(wide, L"a\u00e9\u20ac\U0001F600z");
  EXPECT_EQ(Tools::narrowWideString(wide), narrow);
}

TEST(ToolsConversion, StopsAtNulAndReplacesBadBytes) {
  EXPECT_EQ(Tools::widenNarrowString(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(Tools::narrowWideString(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(Tools::widenNarrowString("x\xFFy"), L"x\ufffdy");
}
