// kwtool's shared option reader and its command table.
#include <gtest/gtest.h>
#include <kw/Tools.h>

#include <sstream>
#include <string>
#include <vector>

#include "kwtool/Command.h"
#include "kwtool/CommandLine.h"
#include "kwtool/KwTool.h"
#include "kwtool/UsageError.h"

namespace {

using Option = kwtool::CommandLine::Option;

bool isShort(const std::wstring& value) { return value.size() < 3; }

const std::vector<Option> kOptions = {
    {L"--hex", L"format", Option::Flag},
    {L"--raw", L"format", Option::Flag},
    {L"--count", L"--count", Option::Count},
    {L"--name", L"--name", Option::Value, &isShort, L"too long: "}};

kwtool::CommandLine read(const std::vector<std::wstring>& args) {
  return kwtool::CommandLine(args, 1, L"usage: test", kOptions);
}

// The message of the usage error that reading throws, or "" for none.
std::wstring refusal(const std::vector<std::wstring>& args) {
  try {
    read(args);
  } catch (const kwtool::UsageError& e) {
    EXPECT_EQ(e.usage(), L"usage: test");
    return e.message();
  }
  return std::wstring();
}

}  // namespace

TEST(KwToolCommandLine, OptionsThenOperands) {
  kwtool::CommandLine line =
      read({L"cmd", L"--hex", L"--count", L"7", L"--raw", L"--name", L"ab", L"-", L"--hex"});
  EXPECT_FALSE(line.helpAsked());
  // Spellings that share a key: the last one given counts.
  EXPECT_EQ(line.text(L"format"), L"--raw");
  EXPECT_EQ(line.count(L"--count", 0), 7);
  EXPECT_EQ(line.text(L"--name"), L"ab");
  // "-" is an operand, and options end at the first operand.
  EXPECT_EQ(line.operands(), (std::vector<std::wstring>{L"-", L"--hex"}));

  kwtool::CommandLine ended = read({L"cmd", L"--", L"--hex"});
  EXPECT_FALSE(ended.has(L"format"));
  EXPECT_EQ(ended.count(L"--count", 3), 3);
  EXPECT_EQ(ended.operands(), (std::vector<std::wstring>{L"--hex"}));

  // Help stops the reading: what follows is not looked at.
  EXPECT_TRUE(read({L"cmd", L"--hex", L"-h", L"--bogus"}).helpAsked());
}

TEST(KwToolCommandLine, BadOptionsAndValuesAreUsageErrors) {
  EXPECT_EQ(refusal({L"cmd", L"--bogus", L"--help"}), L"unknown option --bogus");
  EXPECT_EQ(refusal({L"cmd", L"--count"}), L"--count needs a value");
  for (const wchar_t* value : {L"0", L"", L"-1", L"1x", L"1000000000"})
    EXPECT_EQ(refusal({L"cmd", L"--count", value}), L"--count takes a positive number") << value;
  EXPECT_EQ(refusal({L"cmd", L"--count", L"999999999"}), L"");
  EXPECT_EQ(refusal({L"cmd", L"--name", L"abc"}), L"too long: abc");
}

TEST(KwToolCommandLine, EveryCommandInTheTableHasHelpAndAnOverviewLine) {
  std::istringstream in;
  std::ostringstream overview, none;
  ASSERT_EQ(kwtool::KwTool::run({L"--help"}, in, overview, none), 0);
  // "usage: kwtool a|b|c [--help] ..." as "|a|b|c|"
  const std::string text = overview.str();
  const std::size_t names = text.find("kwtool ") + 7;
  const std::string listed = "|" + text.substr(names, text.find(' ', names) - names) + "|";
  for (const kwtool::Command& command : kwtool::Command::all()) {
    const std::string name = kw::Tools::narrowWideString(command.name);
    SCOPED_TRACE(name);
    EXPECT_NE(text.find("\n  " + name + " "), std::string::npos) << text;
    EXPECT_NE(listed.find("|" + name + "|"), std::string::npos) << listed;
    std::ostringstream out, err;
    EXPECT_EQ(kwtool::KwTool::run({command.name, L"--help"}, in, out, err), 0);
    EXPECT_EQ(out.str().rfind("usage: kwtool " + name, 0), 0u) << out.str();
    EXPECT_EQ(err.str(), "");
  }
}
