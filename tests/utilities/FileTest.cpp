// Tests of File: queries, load and save, temporary file names, and the temporary and data folders
// with their fallbacks.
#include <gtest/gtest.h>
#include <kw/ByteArray.h>
#include <kw/File.h>
#include <kw/SiteId.h>
#include <kw/SystemException.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"
#include "support/TraceCapture.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using kw::ByteArray;
using kw::File;
using kw::SiteId;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const wchar_t kSep = L'\\';
#else
const wchar_t kSep = L'/';
#endif

std::string text(const ByteArray& bytes) {
  return std::string(bytes.getData() ? bytes.getData() : "", static_cast<size_t>(bytes.getSize()));
}

std::wstring suiteFolder(const fs::path& parent) { return (parent / "Kestrelwright").wstring(); }

// Both working folders of a child follow its environment, since the
// caches are filled once per process.
void pointTempAt(const fs::path& folder) {
  kwtest::setEnv("TMPDIR", folder.string());
  kwtest::setEnv("TMP", folder.string());
  kwtest::setEnv("TEMP", folder.string());
}

// Runs the child with a fresh scratch folder as its argument; its exit code.
int runInScratch(const char* child) {
  kwtest::ScratchDir scratch;
  kwtest::ChildProcess process(child, {scratch.path().string()});
  return process.started() ? process.wait() : -1;
}

}  // namespace

TEST(FileQueries, TellFilesFromFoldersAndCompareExtensions) {
  kwtest::ScratchDir scratch;
  const fs::path file = scratch.path() / "a.b.LOG";
  kwtest::writeFile(file, "x");
  EXPECT_TRUE(File::exists(file.wstring().c_str()));
  EXPECT_FALSE(File::directoryExists(file.wstring().c_str()));
  EXPECT_FALSE(File::exists(scratch.wide().c_str()));
  EXPECT_TRUE(File::directoryExists(scratch.wide().c_str()));
  const std::wstring missing = (scratch.path() / "missing").wstring();
  EXPECT_FALSE(File::exists(missing.c_str()));
  EXPECT_FALSE(File::directoryExists(missing.c_str()));
  EXPECT_FALSE(File::exists(nullptr));
  EXPECT_FALSE(File::directoryExists(nullptr));

  EXPECT_TRUE(File::isOfType(L"C:\\dir\\a.b.LOG", L"log"));
  EXPECT_FALSE(File::isOfType(L"C:\\dir\\a.b.LOG", L".log"));
  EXPECT_FALSE(File::isOfType(L"C:\\dir.d\\noext", L"d"));
  EXPECT_FALSE(File::isOfType(L"/home/x.d/noext", L"d"));
  EXPECT_TRUE(File::isOfType(L"C:\\dir.d\\noext", L""));
  EXPECT_FALSE(File::isOfType(nullptr, L"log"));
  EXPECT_FALSE(File::isOfType(L"a.log", nullptr));

  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const std::int64_t modified = File::getLastModificationTime(file.wstring().c_str());
  EXPECT_LT(std::llabs(modified - now), 24 * 3600) << modified << " vs " << now;
  EXPECT_EQ(File::getLastModificationTime(missing.c_str()), 0);
  EXPECT_EQ(File::getLastModificationTime(nullptr), 0);
}

TEST(FileLoadSave, SaveReplacesAndLoadHonoursTheLimit) {
  kwtest::ScratchDir scratch;
  const fs::path file = scratch.path() / "data.bin";
  const std::wstring path = file.wstring();
  kwtest::writeFile(file, "a much longer earlier content");
  File::save(path.c_str(), ByteArray("0123456789", 10));
  EXPECT_EQ(kwtest::readFile(file), "0123456789");

  kwtest::TraceCapture capture;
  ByteArray bytes;
  EXPECT_TRUE(File::load(path.c_str(), bytes, 4));
  EXPECT_EQ(text(bytes), "0123");
  ASSERT_EQ(capture.count(SiteId::FileLoadTruncated), 1);
  EXPECT_NE(capture.records()[0].text.find(path), std::wstring::npos);

  capture.clear();
  EXPECT_TRUE(File::load(path.c_str(), bytes, -1));
  EXPECT_EQ(text(bytes), "0123456789");
  EXPECT_TRUE(File::load(path.c_str(), bytes, 10));
  EXPECT_EQ(text(bytes), "0123456789");
  EXPECT_TRUE(capture.ids().empty());

  // A failed load leaves nothing of what the array held.
  EXPECT_FALSE(File::load((scratch.path() / "missing").wstring().c_str(), bytes, -1));
  EXPECT_EQ(bytes.getSize(), 0);
  bytes = ByteArray("zz", 2);
  EXPECT_FALSE(File::load(scratch.wide().c_str(), bytes, -1));
  EXPECT_EQ(bytes.getSize(), 0);
  EXPECT_FALSE(File::load(nullptr, bytes, -1));

  // An empty file loads as an empty array.
  kwtest::writeFile(scratch.path() / "empty", "");
  EXPECT_TRUE(File::load((scratch.path() / "empty").wstring().c_str(), bytes, -1));
  EXPECT_EQ(bytes.getSize(), 0);

  // Nothing is made for a folder that is not there.
  File::save((scratch.path() / "no" / "file").wstring().c_str(), ByteArray("x", 1));
  EXPECT_FALSE(fs::exists(scratch.path() / "no"));
  File::save(nullptr, ByteArray("x", 1));
}

KW_CHILD_MAIN(fileTempName) {
  pointTempAt(args.at(0));
  std::wstring first;
  std::wstring second;
  File::createTempFileName(first, nullptr);
  // "x" is no hex digit, so the unique part that follows the cut prefix can never look like it.
  File::createTempFileName(second, L"abcxyz");
  const fs::path a(first);
  const fs::path b(second);
  if (!fs::equivalent(a.parent_path(), args.at(0))) return 10;
  if (a.filename().wstring().rfind(L"obt", 0) != 0) return 11;
  if (b.filename().wstring().rfind(L"abc", 0) != 0 || b.filename().wstring().rfind(L"abcx", 0) == 0)
    return 12;
  if (!fs::is_regular_file(a) || !fs::is_regular_file(b) || fs::file_size(a) != 0) return 13;
  std::wstring third;
  File::createTempFileName(third, L"obt");
  return third != first && fs::is_regular_file(third) ? 0 : 14;
}

TEST(FileTempName, MakesANewEmptyFileInTheUsersTemporaryFolder) {
  EXPECT_EQ(runInScratch("fileTempName"), 0);
}

KW_CHILD_MAIN(fileTempFolder) {
  const fs::path parent = args.at(0);
  pointTempAt(parent);
  const std::wstring& path = File::getTempPath();
  if (path != suiteFolder(parent)) return 10;
  if (&File::getTempPath() != &path || path.back() == kSep) return 11;
  if (fs::exists(path)) return 12;  // the getter makes nothing

  File::initTempPath(false);
  if (!fs::is_directory(path)) return 13;
  const fs::path folder = path;
  kwtest::writeFile(folder / "a.ico", "i");
  kwtest::writeFile(folder / "B.ICO", "i");
  kwtest::writeFile(folder / "b.txt", "t");
  fs::create_directory(folder / "sub");
  kwtest::writeFile(folder / "sub" / "c.ico", "i");
  File::initTempPath(true);
  if (fs::exists(folder / "a.ico") || fs::exists(folder / "B.ICO")) return 14;
  if (!fs::exists(folder / "b.txt") || !fs::exists(folder / "sub" / "c.ico")) return 15;
  return 0;
}

TEST(FileWorkingFolders, TempFolderIsCachedMadeOnDemandAndEmptiedOfIcons) {
  EXPECT_EQ(runInScratch("fileTempFolder"), 0);
}

#ifndef _WIN32
// The root and a hidden folder below it, as the temporary folder: one
// separator before the suite's folder, and the hidden folder's dot kept.
KW_CHILD_MAIN(fileTempFolderAtTheRoot) {
  const std::string folder = args.at(0);
  pointTempAt(folder);
  const std::wstring& path = File::getTempPath();
  const std::wstring expected = folder.find(".kwhidden") == std::string::npos
                                    ? L"/Kestrelwright"
                                    : L"/.kwhidden/Kestrelwright";
  return path == expected ? 0 : 10;
}

TEST(FileWorkingFolders, TheRootOrAHiddenFolderAsTempFolder) {
  for (const char* folder : {"/", "//", "/.kwhidden/"}) {
    SCOPED_TRACE(folder);
    kwtest::ChildProcess process("fileTempFolderAtTheRoot", {folder});
    ASSERT_TRUE(process.started());
    EXPECT_EQ(process.wait(), 0);
  }
}
#endif

#ifndef _WIN32
// A temporary folder that every user shares (sticky, writable by all, as
// /tmp is): this user's files go into a folder of its own in it.
KW_CHILD_MAIN(fileTempFolderShared) {
  const fs::path shared = fs::path(args.at(0)) / "shared";
  fs::create_directory(shared);
  chmod(shared.c_str(), 01777);
  pointTempAt(shared);
  const fs::path own = shared / ("Kestrelwright-" + std::to_string(geteuid()));
  if (File::getTempPath() != suiteFolder(own)) return 10;
  struct stat info {};
  if (stat(own.c_str(), &info) != 0 || info.st_uid != geteuid() || (info.st_mode & 0777) != 0700)
    return 11;
  std::wstring name;
  File::createTempFileName(name, nullptr);
  return fs::path(name).parent_path() == own ? 0 : 12;
}

TEST(FileWorkingFolders, ASharedTempFolderHoldsAPrivateOneOfTheUsers) {
  EXPECT_EQ(runInScratch("fileTempFolderShared"), 0);
}
#endif

KW_CHILD_MAIN(fileTempFolderUnmakeable) {
  pointTempAt(fs::path(args.at(0)) / "missing");
  try {
    File::initTempPath(false);
  } catch (kw::SystemException& e) {
    if (e.getExceptionID() != SiteId::TempDirCreateFailed) return 10;
    const std::wstring description = e.getDescription();
    if (description.find(L"Unable to create Temp directory") != 0) return 11;
    return description.find(File::getTempPath()) != std::wstring::npos ? 0 : 12;
  }
  return 13;
}

TEST(FileWorkingFolders, AnUnmakeableTempFolderThrows) {
  EXPECT_EQ(runInScratch("fileTempFolderUnmakeable"), 0);
}

KW_CHILD_MAIN(fileTempFolderTooLong) {
  kwtest::TraceCapture capture;
  pointTempAt(fs::path(args.at(0)) / std::string(5000, 'x'));
  if (!File::getTempPath().empty()) return 10;
  if (capture.count(SiteId::TempPathTooLong) != 1) return 11;
  // An empty cache is filled by a later call that succeeds.
  pointTempAt(args.at(0));
  return File::getTempPath() == suiteFolder(args.at(0)) ? 0 : 12;
}

TEST(FileWorkingFolders, ATooLongTempFolderIsRefusedAndTriedAgain) {
#ifdef _WIN32
  GTEST_SKIP() << "GetTempPathW passes over a TMP or TEMP value longer than MAX_PATH to the next "
                  "candidate, so its answer never exceeds the buffer";
#else
  EXPECT_EQ(runInScratch("fileTempFolderTooLong"), 0);
#endif
}

#ifndef _WIN32
KW_CHILD_MAIN(fileDataFolder) {
  const fs::path data = fs::path(args.at(0)) / "data";
  kwtest::setEnv("XDG_DATA_HOME", data.string());
  const std::wstring& path = File::getUsersLocalDataPath();
  if (path != suiteFolder(data)) return 10;
  if (!fs::is_directory(data) || fs::exists(path)) return 11;
  if (!File::initUsersLocalDataPath() || !fs::is_directory(path)) return 12;
  return &File::getUsersLocalDataPath() == &path ? 0 : 13;
}

TEST(FileWorkingFolders, DataFolderFollowsXdgDataHome) {
  EXPECT_EQ(runInScratch("fileDataFolder"), 0);
}

KW_CHILD_MAIN(fileDataFolderUnusable) {
  const fs::path scratch = args.at(0);
  kwtest::writeFile(scratch / "plain", "a file where a folder should be");
  kwtest::setEnv("XDG_DATA_HOME", (scratch / "plain" / "data").string());
  pointTempAt(scratch);
  kwtest::TraceCapture capture;
  // The temporary folder stands in, and stays.
  if (File::getUsersLocalDataPath() != suiteFolder(scratch)) return 10;
  if (capture.count(SiteId::DataPathUnavailable) != 1) return 11;
  kwtest::setEnv("XDG_DATA_HOME", (scratch / "fine").string());
  if (File::getUsersLocalDataPath() != suiteFolder(scratch)) return 12;
  if (capture.count(SiteId::DataPathUnavailable) != 1) return 13;
  return File::initUsersLocalDataPath() && fs::is_directory(suiteFolder(scratch)) ? 0 : 14;
}

TEST(FileWorkingFolders, AnUnusableDataFolderFallsBackToTheTempFolder) {
  EXPECT_EQ(runInScratch("fileDataFolderUnusable"), 0);
}

KW_CHILD_MAIN(fileDataFolderUnmakeable) {
  const fs::path scratch = args.at(0);
  kwtest::setEnv("XDG_DATA_HOME", scratch.string());
  kwtest::TraceCapture capture;
  const std::wstring& path = File::getUsersLocalDataPath();
  kwtest::writeFile(path, "a file where the folder should be");
  if (!File::initUsersLocalDataPath()) return 10;
  if (capture.count(SiteId::DataDirCreateFailed) != 1) return 11;
  const std::wstring trace = capture.records().back().text;
  return trace.find(path) != std::wstring::npos ? 0 : 12;
}

TEST(FileWorkingFolders, AnUnmakeableDataFolderIsTracedOnly) {
  EXPECT_EQ(runInScratch("fileDataFolderUnmakeable"), 0);
}
#else
TEST(FileWorkingFolders, DataFolderIsBelowLocalAppData) {
  const std::wstring& path = File::getUsersLocalDataPath();
  EXPECT_EQ(fs::path(path).filename().wstring(), L"Kestrelwright");
  EXPECT_NE(path.back(), kSep);
  EXPECT_TRUE(File::initUsersLocalDataPath());
  EXPECT_TRUE(fs::is_directory(path));
}
#endif
