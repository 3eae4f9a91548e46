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

std::string text(const ByteArray& bytes) {
  return std::string(bytes.getData() ? bytes.getData() : "", static_cast<size_t>(bytes.getSize()));
}

std::wstring suiteFolder(const fs::path& parent) { return (parent / "Kestrelwright").wstring(); }

// Both working folders of a child follow its environment, since the
// caches are filled once per process.
void pointTempAt(const fs::path& folder) {
  for (const char* name : {"TMPDIR", "TMP", "TEMP"}) kwtest::setEnv(name, folder.string());
}

}  // namespace

TEST(FileQueries, TellFilesFromFoldersAndCompareExtensions) {
  kwtest::ScratchDir scratch;
  const std::wstring file = (scratch.path() / "a.b.LOG").wstring();
  const std::wstring missing = (scratch.path() / "missing").wstring();
  kwtest::writeFile(file, "x");
  EXPECT_TRUE(File::exists(file.c_str()));
  EXPECT_FALSE(File::directoryExists(file.c_str()));
  EXPECT_FALSE(File::exists(scratch.wide().c_str()));
  EXPECT_TRUE(File::directoryExists(scratch.wide().c_str()));
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
  EXPECT_LT(std::llabs(File::getLastModificationTime(file.c_str()) - now), 24 * 3600);
  EXPECT_EQ(File::getLastModificationTime(missing.c_str()), 0);
  EXPECT_EQ(File::getLastModificationTime(nullptr), 0);
}

TEST(FileLoadSave, SaveReplacesAndLoadHonoursTheLimit) {
  kwtest::ScratchDir scratch;
  const std::wstring path = (scratch.path() / "data.bin").wstring();
  kwtest::writeFile(path, "a much longer earlier content");
  File::save(path.c_str(), ByteArray("0123456789", 10));
  EXPECT_EQ(kwtest::readFile(path), "0123456789");

  kwtest::TraceCapture capture;
  ByteArray bytes;
  EXPECT_TRUE(File::load(path.c_str(), bytes, 4));
  EXPECT_EQ(text(bytes), "0123");
  ASSERT_EQ(capture.ids(), std::vector<int>{SiteId::FileLoadTruncated});
  EXPECT_NE(capture.records()[0].text.find(path), std::wstring::npos);
  for (int limit : {-1, 10}) {
    EXPECT_TRUE(File::load(path.c_str(), bytes, limit));
    EXPECT_EQ(text(bytes), "0123456789");
  }
  EXPECT_EQ(capture.ids().size(), 1u);

  // A failed load leaves nothing of what the array held.
  EXPECT_FALSE(File::load((scratch.path() / "missing").wstring().c_str(), bytes, -1));
  EXPECT_EQ(bytes.getSize(), 0);
  bytes = ByteArray("zz", 2);
  EXPECT_FALSE(File::load(scratch.wide().c_str(), bytes, -1));
  EXPECT_EQ(bytes.getSize(), 0);
  EXPECT_FALSE(File::load(nullptr, bytes, -1));

  kwtest::writeFile(scratch.path() / "empty", "");
  EXPECT_TRUE(File::load((scratch.path() / "empty").wstring().c_str(), bytes, -1));
  EXPECT_EQ(bytes.getSize(), 0);

  // Nothing is made for a folder that is not there.
  File::save((scratch.path() / "no" / "file").wstring().c_str(), ByteArray("x", 1));
  EXPECT_FALSE(fs::exists(scratch.path() / "no"));
  File::save(nullptr, ByteArray("x", 1));
}

// The working-folder cases run in a child each, as the folders are cached
// once per process. Each child takes a fresh scratch folder; its exit code
// names the check that failed.

KW_CHILD_MAIN(fileTempName) {
  pointTempAt(args.at(0));
  std::wstring first, second, third;
  File::createTempFileName(first, nullptr);
  // "x" is no hex digit, so the unique part that follows the cut prefix can never look like it.
  File::createTempFileName(second, L"abcxyz");
  File::createTempFileName(third, L"obt");
  const fs::path a(first);
  const std::wstring b = fs::path(second).filename().wstring();
  if (!fs::equivalent(a.parent_path(), args.at(0))) return 10;
  if (a.filename().wstring().rfind(L"obt", 0) != 0) return 11;
  if (b.rfind(L"abc", 0) != 0 || b.rfind(L"abcx", 0) == 0) return 12;
  if (!fs::is_regular_file(a) || !fs::is_regular_file(second) || fs::file_size(a) != 0) return 13;
  return third != first && fs::is_regular_file(third) ? 0 : 14;
}

KW_CHILD_MAIN(fileTempFolder) {
  const fs::path parent = args.at(0);
  pointTempAt(parent);
  const std::wstring& path = File::getTempPath();
  if (path != suiteFolder(parent) || &File::getTempPath() != &path) return 10;
  if (fs::exists(path)) return 11;  // the getter makes nothing

  File::initTempPath(false);
  const fs::path folder = path;
  if (!fs::is_directory(folder)) return 12;
  fs::create_directory(folder / "sub");
  for (const char* name : {"a.ico", "B.ICO", "b.txt", "sub/c.ico"})
    kwtest::writeFile(folder / name, "");
  File::initTempPath(true);
  if (fs::exists(folder / "a.ico") || fs::exists(folder / "B.ICO")) return 13;
  return fs::exists(folder / "b.txt") && fs::exists(folder / "sub" / "c.ico") ? 0 : 14;
}

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

#ifdef _WIN32
const char* const kChildren[] = {"fileTempName", "fileTempFolder", "fileTempFolderUnmakeable"};

TEST(FileWorkingFolders, ATooLongTempFolderIsRefusedAndTriedAgain) {
  GTEST_SKIP() << "GetTempPathW passes over a TMP or TEMP value longer than MAX_PATH to the next "
                  "candidate, so its answer never exceeds the buffer";
}

TEST(FileWorkingFolders, DataFolderIsBelowLocalAppData) {
  const std::wstring& path = File::getUsersLocalDataPath();
  EXPECT_EQ(fs::path(path).filename().wstring(), L"Kestrelwright");
  EXPECT_NE(path.back(), L'\\');
  EXPECT_TRUE(File::initUsersLocalDataPath());
  EXPECT_TRUE(fs::is_directory(path));
}
#else
// The root and a hidden folder below it, as the temporary folder: one
// separator before the suite's folder, and the hidden folder's dot kept.
KW_CHILD_MAIN(fileTempFolderAtTheRoot) {
  pointTempAt(args.at(0));
  const bool hidden = args.at(0).find(".kwhidden") != std::string::npos;
  return File::getTempPath() == (hidden ? L"/.kwhidden/Kestrelwright" : L"/Kestrelwright") ? 0 : 10;
}

TEST(FileWorkingFolders, TheRootOrAHiddenFolderAsTempFolder) {
  for (const char* folder : {"/", "//", "/.kwhidden/"}) {
    kwtest::ChildProcess process("fileTempFolderAtTheRoot", {folder});
    EXPECT_EQ(process.wait(), 0) << folder;
  }
}

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

KW_CHILD_MAIN(fileTempFolderTooLong) {
  kwtest::TraceCapture capture;
  pointTempAt(fs::path(args.at(0)) / std::string(5000, 'x'));
  if (!File::getTempPath().empty()) return 10;
  if (capture.count(SiteId::TempPathTooLong) != 1) return 11;
  // An empty cache is filled by a later call that succeeds.
  pointTempAt(args.at(0));
  return File::getTempPath() == suiteFolder(args.at(0)) ? 0 : 12;
}

KW_CHILD_MAIN(fileDataFolder) {
  const fs::path data = fs::path(args.at(0)) / "data";
  kwtest::setEnv("XDG_DATA_HOME", data.string());
  const std::wstring& path = File::getUsersLocalDataPath();
  if (path != suiteFolder(data)) return 10;
  if (!fs::is_directory(data) || fs::exists(path)) return 11;
  if (!File::initUsersLocalDataPath() || !fs::is_directory(path)) return 12;
  return &File::getUsersLocalDataPath() == &path ? 0 : 13;
}

// An unusable data folder: the temporary folder stands in, and stays.
KW_CHILD_MAIN(fileDataFolderUnusable) {
  const fs::path scratch = args.at(0);
  kwtest::writeFile(scratch / "plain", "a file where a folder should be");
  kwtest::setEnv("XDG_DATA_HOME", (scratch / "plain" / "data").string());
  pointTempAt(scratch);
  kwtest::TraceCapture capture;
  if (File::getUsersLocalDataPath() != suiteFolder(scratch)) return 10;
  kwtest::setEnv("XDG_DATA_HOME", (scratch / "fine").string());
  if (File::getUsersLocalDataPath() != suiteFolder(scratch)) return 11;
  if (capture.count(SiteId::DataPathUnavailable) != 1) return 12;
  return File::initUsersLocalDataPath() && fs::is_directory(suiteFolder(scratch)) ? 0 : 13;
}

// A data folder that cannot be made is traced only.
KW_CHILD_MAIN(fileDataFolderUnmakeable) {
  kwtest::setEnv("XDG_DATA_HOME", args.at(0));
  kwtest::TraceCapture capture;
  const std::wstring& path = File::getUsersLocalDataPath();
  kwtest::writeFile(path, "a file where the folder should be");
  if (!File::initUsersLocalDataPath()) return 10;
  if (capture.count(SiteId::DataDirCreateFailed) != 1) return 11;
  return capture.records().back().text.find(path) != std::wstring::npos ? 0 : 12;
}

const char* const kChildren[] = {
    "fileTempName",           "fileTempFolder",          "fileTempFolderUnmakeable",
    "fileTempFolderShared",   "fileTempFolderTooLong",   "fileDataFolder",
    "fileDataFolderUnusable", "fileDataFolderUnmakeable"};
#endif

class FileWorkingFolder : public ::testing::TestWithParam<const char*> {};

TEST_P(FileWorkingFolder, InAProcessOfItsOwn) {
  kwtest::ScratchDir scratch;
  kwtest::ChildProcess process(GetParam(), {scratch.path().string()});
  EXPECT_EQ(process.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(File, FileWorkingFolder, ::testing::ValuesIn(kChildren),
                         [](const auto& info) { return std::string(info.param); });
