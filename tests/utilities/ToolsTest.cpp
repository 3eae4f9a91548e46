#include <gtest/gtest.h>
#include <kw/Tools.h>

#include <ctime>

using kw::Tools;

TEST(ToolsCleanString, TrimsOnlyTheEnds) {
  std::wstring text = L"\\Software\\Kestrelwright\\";
  Tools::cleanString(text);
  EXPECT_EQ(text, L"Software\\Kestrelwright");

  text = L" ..;; . ";
  Tools::cleanString(text);
  EXPECT_EQ(text, L"");

  text = L"a..b";
  Tools::cleanString(text);
  EXPECT_EQ(text, L"a..b");

  text = L"\t/:C:\\x;./";
  Tools::cleanString(text);
  EXPECT_EQ(text, L"C:\\x");

  text = L"";
  Tools::cleanString(text);
  EXPECT_EQ(text, L"");
}

TEST(ToolsSplitString, DelimitersAreASetAndYieldNoEmptyTokens) {
  std::vector<std::wstring> tokens{L"stale"};
  Tools::splitString(L"DOMAIN\\user", tokens, L"\\/");
  EXPECT_EQ(tokens, (std::vector<std::wstring>{L"DOMAIN", L"user"}));

  Tools::splitString(L"//a\\\\b/", tokens, L"\\/");
  EXPECT_EQ(tokens, (std::vector<std::wstring>{L"a", L"b"}));

  Tools::splitString(L"", tokens, L"\\/");
  EXPECT_TRUE(tokens.empty());

  tokens = {L"stale"};
  Tools::splitString(L"\\//\\", tokens, L"\\/");
  EXPECT_TRUE(tokens.empty());

  Tools::splitString(L"abc", tokens, L"");
  EXPECT_EQ(tokens, (std::vector<std::wstring>{L"abc"}));
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
  auto before = static_cast<std::int64_t>(std::time(nullptr));
  auto now = Tools::getCurrentTime();
  auto after = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}
