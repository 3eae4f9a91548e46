// Tests of Execute: the folder a program runs from, programs that cannot start or run too long,
// and command-line splitting.
#include <gtest/gtest.h>
#include <kw/Execute.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"

using kw::Execute;
namespace fs = std::filesystem;

namespace {

// A command line that starts this test executable, by its bare name, as the
// child that records its arguments into `marker`.
std::wstring recordLine(const fs::path& marker, const std::wstring& arguments = L"") {
  return kwtest::ownExecutable().filename().wstring() + L" --kw-child=execRecord \"" +
         marker.wstring() + L"\"" + arguments;
}

}  // namespace

// Writes its arguments, one per line, into the file its first one names;
// waits first when a second one gives milliseconds.
KW_CHILD_MAIN(execRecord) {
  if (args.size() > 1) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(args[1])));
  std::ofstream out(args.at(0), std::ios::binary);
  for (const std::string& argument : args) out << argument << '\n';
  return 0;
}

TEST(Execute, RefusesWhatCannotStartAndSplitsWhatFits) {
  kwtest::ScratchDir scratch;
  EXPECT_FALSE(Execute::exec(nullptr, nullptr));
  EXPECT_FALSE(Execute::exec(L"", nullptr));
  EXPECT_FALSE(Execute::exec(L"no-such-program-here", scratch.wide().c_str()));

  // A line that would not fit the 260-character buffer is refused, not cut.
  const fs::path marker = scratch.path() / "ran";
  const std::wstring folder = kwtest::ownExecutable().parent_path().wstring();
  std::wstring line = recordLine(marker, L" 0 \"two words\" ");
  ASSERT_LT(folder.size() + 1 + line.size(), 250u);
  const std::string padding(259 - folder.size() - 1 - line.size(), 'x');
  line += std::wstring(padding.begin(), padding.end());
  EXPECT_FALSE(Execute::exec((line + L"x").c_str(), folder.c_str()));
  EXPECT_FALSE(fs::exists(marker));
  // One character less fits; blanks split the arguments, quotes group them.
  EXPECT_TRUE(Execute::exec(line.c_str(), folder.c_str()));
  EXPECT_EQ(kwtest::readFile(marker), marker.string() + "\n0\ntwo words\n" + padding + "\n");
}

TEST(Execute, AProgramThatRunsLongerIsLeftRunning) {
  kwtest::ScratchDir scratch;
  const fs::path marker = scratch.path() / "late";
  EXPECT_FALSE(Execute::exec(recordLine(marker, L" 6500").c_str(), nullptr));
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(kwtest::waitForFile(marker.string()));
}

#ifndef _WIN32
// The README's examples: no shell runs, the line is split as Windows splits it.
TEST(Execute, SplitsTheCommandLineAsTheReadmeSays) {
  kwtest::ScratchDir scratch;
  const std::wstring folder = scratch.wide();
  ASSERT_TRUE(Execute::exec((L"touch \"" + folder + L"/a b.txt\" " + folder + L"/c\\\"d").c_str(),
                            L"/usr/bin"));
  EXPECT_TRUE(fs::exists(scratch.path() / "a b.txt"));
  EXPECT_TRUE(fs::exists(scratch.path() / "c\"d"));
  ASSERT_TRUE(
      Execute::exec((L"sh -c \"echo one two > " + folder + L"/out.txt\"").c_str(), L"/bin"));
  EXPECT_EQ(kwtest::readFile(scratch.path() / "out.txt"), "one two\n");
}
#endif
