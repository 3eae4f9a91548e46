// Tests of FileName: splitting, joining, ASCII case folding, path limits, rooted paths, and indexed
// names.
#include <gtest/gtest.h>
#include <kw/FileName.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "os/FileSystem.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"

using kw::FileName;

namespace {

// All six fields in one text, so a case is one line and a failure shows them all.
std::wstring parts(const FileName& f) {
  return std::wstring(f.getFilepath()) + L"|" + f.getDrive() + L"|" + f.getFolder() + L"|" +
         f.getName() + L"|" + f.getExtension() + L"|" + f.getDriveAndFolder();
}

void touch(const std::filesystem::path& file) { kwtest::writeFile(file, "x"); }

}  // namespace

TEST(FileNameSplit, DividesAWindowsPath) {
  // The trailing separator is trimmed, so the last folder becomes the name.
  EXPECT_EQ(parts(FileName(L"C:\\Program Files\\Kestrelwright\\")),
            L"C:\\Program Files\\Kestrelwright|C|\\Program Files|Kestrelwright||C:\\Program Files");
  EXPECT_EQ(parts(FileName(L"C:\\dir\\a.b.log")), L"C:\\dir\\a.b.log|C|\\dir|a.b|log|C:\\dir");
  EXPECT_EQ(parts(FileName(L"C:\\dir\\.profile")), L"C:\\dir\\.profile|C|\\dir||profile|C:\\dir");
  EXPECT_EQ(parts(FileName(L"C:/dir/sub/x.txt")),
            L"C:/dir/sub/x.txt|C|\\dir/sub|x|txt|C:\\dir/sub");
  EXPECT_EQ(parts(FileName(L"C:dir\\x.log")), L"C:dir\\x.log|C|\\dir|x|log|C:\\dir");
  EXPECT_EQ(parts(FileName(L" ;C:\\x.log. ")), L"C:\\x.log|C|\\|x|log|C:\\");
  // Without a drive the leading backslash goes: the path becomes relative.
  EXPECT_EQ(parts(FileName(L"\\dir\\file.log")), L"dir\\file.log||\\dir|file|log|:\\dir");
}

TEST(FileNameSplit, EmptyDiffersFromUnset) {
  EXPECT_EQ(parts(FileName()), L"|||||");
  EXPECT_EQ(parts(FileName(nullptr)), L"|||||");
  EXPECT_EQ(parts(FileName(L"")), L"||\\|||:\\");
  FileName f(L"C:\\x.log");
  f.setFilepath(nullptr);
  EXPECT_EQ(parts(f), L"||\\|||:\\");
}

TEST(FileNameJoin, SettersRejoinTheParts) {
  FileName f(L"C:\\dir\\trace.log");
  f.setExtension(L".txt");
  EXPECT_STREQ(f.getFilepath(), L"C:\\dir\\trace.txt");
  f.setExtension(L"txt");
  EXPECT_STREQ(f.getFilepath(), L"C:\\dir\\trace.txt");
  f.setExtension(nullptr);
  EXPECT_STREQ(f.getFilepath(), L"C:\\dir\\trace");

  f = L"C:\\dir\\trace.log";
  f.setFolder(L"");
  EXPECT_EQ(parts(f), L"C:\\trace.log|C|\\|trace|log|C:\\");
  f.setFolder(nullptr);
  EXPECT_EQ(parts(f), L"C:trace.log|C|\\|trace|log|C:\\");
  f.setFolder(L"\\a\\b\\");
  f.setDrive(L"D:");
  f.setName(L" other ");
  EXPECT_EQ(parts(f), L"D:\\a\\b\\other.log|D|\\a\\b|other|log|D:\\a\\b");
  f.setDrive(nullptr);
  EXPECT_STREQ(f.getFilepath(), L"a\\b\\other.log");
}

TEST(FileNameJoin, Constructors) {
  EXPECT_STREQ(FileName(L"C:\\Program Files\\Kestrelwright\\", L"VRXOffice", L"dll").getFilepath(),
               L"C:\\Program Files\\Kestrelwright\\VRXOffice.dll");
  // Without a colon the whole text is the folder.
  EXPECT_STREQ(FileName(L"\\dir", L"x", L".log").getFilepath(), L"dir\\x.log");
  // Parts are taken untrimmed: a folder without its leading separator is
  // drive-relative, and only the drive's first letter counts.
  EXPECT_EQ(parts(FileName(L"C", L"dir", L"x", L"log")), L"C:dir\\x.log|C|\\dir|x|log|C:\\dir");
  EXPECT_STREQ(FileName(L"CD", L"\\dir\\", L"x", L"log").getFilepath(), L"C:\\dir\\x.log");
  EXPECT_EQ(parts(FileName(nullptr, nullptr, nullptr, nullptr)), L"||\\|||:\\");
}

TEST(FileNameCompare, FoldsAsciiCaseOnly) {
  FileName lower(L"c:\\dir\\trace.log");
  FileName upper(L"C:\\DIR\\Trace.LOG");
  EXPECT_TRUE(lower == upper);
  EXPECT_FALSE(lower < upper || upper < lower);
  // Folding is to lower case: '_' (0x5F) sorts before 'a', hence before 'A'.
  EXPECT_TRUE(FileName(L"_x") < FileName(L"Ax"));
  EXPECT_TRUE(FileName(L"ab") < FileName(L"AB.c"));
  EXPECT_FALSE(FileName(L"\u00c9") == FileName(L"\u00e9"));
  // UTF-16 code-unit order on both targets: a surrogate pair before U+FFFD.
  EXPECT_TRUE(FileName(L"\U0001F600") < FileName(L"\uFFFD"));

  EXPECT_TRUE(upper.isOfType(L"log"));
  EXPECT_FALSE(upper.isOfType(L".log"));
  EXPECT_FALSE(upper.isOfType(nullptr));
}

TEST(FileNameLimits, OverLongPathsLeaveTheObjectUnchanged) {
  const std::wstring name(100, L'n');
  // "C:\" + folder + "\" + name + ".log" composes to exactly the limit.
  const std::wstring folder(kw::os::kMaxPath - 3 - 1 - name.size() - 4, L'f');
  const std::wstring full = L"C:\\" + folder + L"\\" + name + L".log";
  FileName f(full.c_str());
  ASSERT_STREQ(f.getFilepath(), full.c_str());
  const std::wstring before = parts(f);
  f.setName((name + L"n").c_str());
  f.setExtension(L"logs");
  f.setFilepath((full + L"x").c_str());
  EXPECT_EQ(parts(f), before);
  EXPECT_EQ(parts(FileName(L"C", (L"\\" + folder).c_str(), (name + L"n").c_str(), L"log")),
            L"|||||");

  // Bare names, so that the whole path stays within the limit on Windows.
  FileName g(L"x");
  const std::wstring atLimit(kw::os::kMaxComponent, L'a');
  g.setName(atLimit.c_str());
  g.setName((atLimit + L"a").c_str());
  EXPECT_EQ(g.getName(), atLimit);
  g.setName(L"x");
  // The extension's limit counts its dot.
  g.setExtension(atLimit.c_str());
  EXPECT_STREQ(g.getFilepath(), L"x");
  g.setExtension(atLimit.substr(1).c_str());
  EXPECT_EQ(g.getExtension(), atLimit.substr(1));
}

#if defined(_WIN32)
TEST(FileNameWindows, FolderLimitAndNoRoot) {
  // The folder as split, separators included, holds at most 255.
  const std::wstring fits = L"C:\\" + std::wstring(253, L'f') + L"\\x";
  EXPECT_STREQ(FileName(fits.c_str()).getFilepath(), fits.c_str());
  const std::wstring over = L"C:\\" + std::wstring(254, L'f') + L"\\x";
  EXPECT_STREQ(FileName(over.c_str()).getFilepath(), L"");

  EXPECT_EQ(parts(FileName(L"/tmp/x.log")), L"tmp/x.log||\\tmp|x|log|:\\tmp");
  FileName f(L"dir\\x.log");
  f.setFolder(L"/var/log");
  EXPECT_STREQ(f.getFilepath(), L"var/log\\x.log");
}
#else
TEST(FileNameRooted, SplitKeepsTheRoot) {
  EXPECT_EQ(parts(FileName(L"/tmp/Kestrelwright/trace.log")),
            L"/tmp/Kestrelwright/trace.log||/tmp/Kestrelwright|trace|log|/tmp/Kestrelwright");
  EXPECT_EQ(parts(FileName(L"//tmp//x.log/ ")), L"/tmp//x.log||/tmp|x|log|/tmp");
  EXPECT_EQ(parts(FileName(L"/")), L"/||/|||/");
  // Only the whole path bounds a folder here.
  const std::wstring folder = L"/" + std::wstring(200, L'a') + L"/" + std::wstring(200, L'b');
  EXPECT_EQ(FileName((folder + L"/x.log").c_str()).getFolder(), folder);
  // A name after the root keeps its leading dot or blank.
  EXPECT_EQ(parts(FileName(L"/.hidden")), L"/.hidden||/||hidden|/");
  EXPECT_EQ(parts(FileName(L"//.config/kw/x.log")),
            L"/.config/kw/x.log||/.config/kw|x|log|/.config/kw");
  EXPECT_EQ(parts(FileName(L"/ spaced/x")), L"/ spaced/x||/ spaced|x||/ spaced");
  FileName f(L"/tmp/x.log");
  f.setFolder(L"/.cache/");
  EXPECT_STREQ(f.getFilepath(), L"/.cache/x.log");
  EXPECT_STREQ(FileName(L"/.cache", L"y", L"txt").getFilepath(), L"/.cache/y.txt");
}

TEST(FileNameRooted, JoinKeepsTheRootAndAppendsSlashes) {
  FileName f(L"/tmp/Kestrelwright/trace.log");
  f.setName(L"other");
  EXPECT_STREQ(f.getFilepath(), L"/tmp/Kestrelwright/other.log");
  f.setFolder(L"/var/log/");
  EXPECT_EQ(parts(f), L"/var/log/other.log||/var/log|other|log|/var/log");
  f.setFolder(L"");
  EXPECT_STREQ(f.getFilepath(), L"other.log");
  f.setFolder(L"/");
  EXPECT_STREQ(f.getFilepath(), L"/other.log");

  EXPECT_STREQ(FileName(L"/tmp/dir/", L"x", L"log").getFilepath(), L"/tmp/dir/x.log");
  // A drive wins: the result is a Windows form, not rooted.
  EXPECT_STREQ(FileName(L"C", L"/tmp", L"x", L"log").getFilepath(), L"C:/tmp\\x.log");
}
#endif

class FileNameIndexed : public ::testing::Test {
 protected:
  FileName base() { return FileName(m_dir.wide().c_str(), L"base", L"txt"); }
  std::filesystem::path at(const std::wstring& name) { return m_dir.path() / (name + L".txt"); }

  kwtest::ScratchDir m_dir;
};

TEST_F(FileNameIndexed, NextAvailableTakesTheFirstGap) {
  FileName f = base();
  ASSERT_TRUE(f.getNextAvailableIndexedName());
  EXPECT_STREQ(f.getName(), L"base0001");
  EXPECT_EQ(std::filesystem::path(f.getFilepath()), at(L"base0001"));

  // Calling again numbers the numbered name.
  ASSERT_TRUE(f.getNextAvailableIndexedName());
  EXPECT_STREQ(f.getName(), L"base00010001");

  touch(at(L"base0002"));
  f = base();
  EXPECT_FALSE(f.exists());
  f.setName(L"base0002");
  EXPECT_TRUE(f.exists());
  f = base();
  ASSERT_TRUE(f.getNextAvailableIndexedName());
  EXPECT_STREQ(f.getName(), L"base0001");

  for (int i = 1; i <= 9; ++i) touch(at(L"base000" + std::to_wstring(i)));
  f = base();
  ASSERT_TRUE(f.getNextAvailableIndexedName());
  EXPECT_STREQ(f.getName(), L"base0010");
  EXPECT_STREQ(f.getExtension(), L"txt");

  // A folder in the way is not a file.
  std::filesystem::create_directory(at(L"other0001"));
  f.setName(L"other");
  ASSERT_TRUE(f.getNextAvailableIndexedName());
  EXPECT_STREQ(f.getName(), L"other0001");
}

TEST_F(FileNameIndexed, FirstExistingOrExhausted) {
  FileName f = base();
  EXPECT_FALSE(f.setFirstIndexedName());
  EXPECT_STREQ(f.getName(), L"base9999");

  touch(at(L"base0005"));
  f = base();
  ASSERT_TRUE(f.setFirstIndexedName());
  EXPECT_STREQ(f.getName(), L"base0005");
}

TEST_F(FileNameIndexed, NameOverTheLimitStopsTheSearch) {
  // A base whose numbered names would pass a limit must not test the
  // unnumbered file in their place.
  const std::size_t longest =
      std::min(kw::os::kMaxComponent, kw::os::kMaxPath - m_dir.wide().size() - 1);
  const std::wstring longBase(longest - 3, L'b');
  FileName f = base();
  f.setExtension(nullptr);
  f.setName(longBase.c_str());
  ASSERT_EQ(f.getName(), longBase);
  touch(m_dir.path() / longBase);
  ASSERT_TRUE(f.exists());
  const std::wstring before = parts(f);
  EXPECT_FALSE(f.setFirstIndexedName());
  EXPECT_EQ(parts(f), before);
}
