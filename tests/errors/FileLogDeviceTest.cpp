// Tests of FileLogDevice and its switch: whole UTF-16LE lines, silent failures, the temporary and
// data folders, two processes appending to one file, and files it must not write through.
#include <gtest/gtest.h>
#include <kw/Event.h>
#include <kw/File.h>
#include <kw/FileLogDevice.h>
#include <kw/Logger.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/OtherUser.h"
#include "support/ScopedEnv.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"
#include "support/Text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using kw::Event;
using kw::FileLogDevice;
using kw::Logger;
using kwtest::narrow;
using kwtest::readFile;
namespace fs = std::filesystem;

namespace {

// The file's lines without their "\r\n", after checking that it is whole
// UTF-16LE code units with no byte-order mark; a last line without one is
// marked.
std::vector<std::wstring> linesOf(const fs::path& path) {
  std::string bytes = readFile(path);
  EXPECT_EQ(bytes.size() % 2, 0u) << path;
  EXPECT_FALSE(bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') << path;
  std::wstring text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1])
                                                               << 8;
    // Where wchar_t holds whole code points, a surrogate pair becomes one.
    if (sizeof(wchar_t) == 4 && !text.empty() && unit >= 0xDC00 && unit <= 0xDFFF &&
        text.back() >= 0xD800 && text.back() <= 0xDBFF)
      text.back() =
          static_cast<wchar_t>(0x10000 + ((text.back() - 0xD800) << 10) + (unit - 0xDC00));
    else
      text += static_cast<wchar_t>(unit);
  }
  std::vector<std::wstring> result;
  for (std::size_t start = 0, end; start < text.size(); start = end + 2) {
    end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = (text += L"<unterminated>\r\n").size() - 2;
    result.push_back(text.substr(start, end - start));
  }
  return result;
}

void write(FileLogDevice& device, int id, const wchar_t* text) {
  Event event(id, text, Event::Info, L"FileLogDeviceTest.cpp", __LINE__, L"write");
  device.Write(event);
}

// A line without its time: "<type> <id> <text> ".
std::wstring shown(int id, const std::wstring& text) {
  return L"Info    " + std::to_wstring(id) + L" " + text + L" ";
}

}  // namespace

TEST(FileLogDevice, AppendsWholeUtf16LinesWithoutAMark) {
  kwtest::ScratchDir scratch;
  fs::path path = scratch.path() / "trace.log";
  FileLogDevice device;
  device.SetLogFilePath(path.wstring().c_str());
  write(device, 0, L"first");
  // Another process appending between two events is simply followed.
  std::ofstream(path, std::ios::binary | std::ios::app).write("x\0\r\0\n\0", 6);

  // Pairs at every offset within a run of plain characters, and runs long
  // and short around them; a long line must leave nothing behind in the
  // short ones after it, which reuse its buffer.
  std::wstring mixed;
  for (int i = 0; i < 12; ++i) mixed += std::wstring(i, L'a' + i) + L"\U0001F600\u00E9\u20AC";
  const std::wstring texts[] = {L"second \U0001F600", mixed,
                                std::wstring(40000, L'l') + L"\U0001F600end", L"short", L""};
  for (int i = 0; i < 5; ++i) write(device, i + 1, texts[i].c_str());
  // The event's flag ends as toString(true) leaves it.
  Event fresh(9, L"fresh", Event::Warning, L"FileLogDeviceTest.cpp", __LINE__, L"test");
  fresh.toString(false);
  device.Write(fresh);
  EXPECT_TRUE(fresh.getIncludeHeaders());
#ifndef _WIN32
  // Characters outside Unicode become replacements.
  write(device, 6, (L"0123456" + std::wstring(1, 0x110000) + L"89" + wchar_t(-1)).c_str());
#endif

  std::string bytes = readFile(path);
  ASSERT_GE(bytes.size(), 2u);
  // The file starts with the first digit of the time, in one little-endian unit.
  EXPECT_TRUE(bytes[0] >= '0' && bytes[0] <= '9' && bytes[1] == '\0');
  // The emoji is one surrogate pair on both targets.
  EXPECT_NE(bytes.find(std::string("\x3D\xD8\x00\xDE", 4)), std::string::npos);

  std::vector<std::wstring> got = linesOf(path);
  ASSERT_GE(got.size(), 8u);
  EXPECT_EQ(got[0].substr(20), shown(0, L"first"));
  EXPECT_EQ(got[1], L"x");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i + 2].substr(20), shown(i + 1, texts[i])) << i;
  EXPECT_EQ(got[7].substr(20), L"Warning 9 fresh ");
#ifndef _WIN32
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[8].substr(20), shown(6, L"0123456\uFFFD89\uFFFD"));
#endif
}

TEST(FileLogDevice, PathSettingAndSilentFailures) {
  kwtest::ScratchDir scratch;
  fs::path path = scratch.path() / "kept.log";
  FileLogDevice device;
  write(device, 1, L"no path yet");  // does nothing

  device.SetLogFilePath(path.wstring().c_str());
  device.SetLogFilePath(nullptr);
  write(device, 2, L"kept");
  EXPECT_EQ(linesOf(path).size(), 1u);

  // A file deleted between events comes back with the next one.
  fs::remove(path);
  write(device, 3, L"again");
  EXPECT_EQ(linesOf(path).size(), 1u);

  // While another writer holds the file unshared, Windows drops the events.
  // Linux has no such hold: an advisory lock does not stop them.
#ifdef _WIN32
  HANDLE hold = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NO_THROW(write(device, 4, L"during the hold"));
  CloseHandle(hold);
  const std::size_t kept = 2;
#else
  const int hold = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ::flock(hold, LOCK_EX);
  write(device, 4, L"during the hold");
  ::close(hold);
  const std::size_t kept = 3;
#endif
  write(device, 5, L"after the hold");
  std::vector<std::wstring> got = linesOf(path);
  ASSERT_EQ(got.size(), kept);
  EXPECT_EQ(got[kept - 2].substr(20),
            kept == 3 ? shown(4, L"during the hold") : shown(3, L"again"));
  EXPECT_EQ(got.back().substr(20), shown(5, L"after the hold"));

  device.SetLogFilePath(L"");
  write(device, 6, L"off");
  EXPECT_EQ(linesOf(path).size(), kept);

  fs::path missing = scratch.path() / "missing" / "x.log";
  device.SetLogFilePath(missing.wstring().c_str());
  EXPECT_NO_THROW(write(device, 7, L"nowhere"));
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

// args: application, which folders ("temp", "data" or "both"), events to
// trace, a file to wait for before tracing (or "-"), and the writer's tag.
KW_CHILD_MAIN(fileTraceWriter) {
  const std::wstring app = kwtest::wide(args.at(0)), tag = kwtest::wide(args.at(4));
  Logger::initialise(app.c_str());
  if (args[1] != "data") Logger::addFileLogDevice(true);
  if (args[1] != "temp") Logger::addFileLogDevice(false);
  if (args[3] != "-" && !kwtest::waitForFile(args[3])) return 21;
  for (int i = 0; i < std::stoi(args[2]); ++i) {
    std::wstring text = L"event " + std::to_wstring(i) + L" of " + tag;
    Event event(i, text.c_str(), Event::Info, L"FileLogDeviceTest.cpp", __LINE__, L"writer");
    Logger::Trace(event);
  }
  Logger::shutDown();
  return 0;
}

// The child's temporary folder always, and its per-user one where the
// platform lets it, are scratch folders.
class FileLogSwitch : public ::testing::Test {
 protected:
  std::vector<std::string> writerArgs(const char* folders, int count, const std::string& go = "-",
                                      const char* tag = "A") {
    return {narrow(m_app), folders, std::to_string(count), go, tag};
  }
  int runWriter(const char* folders, int count) {
    return kwtest::ChildProcess("fileTraceWriter", writerArgs(folders, count)).wait();
  }
  fs::path traceFile(const fs::path& folder) const {
    return folder / ("KW" + narrow(m_app) + ".log");
  }
  fs::path temp() const { return m_temp.path() / "Kestrelwright"; }
  fs::path data() const {
#ifdef _WIN32
    return fs::path(kw::File::getUsersLocalDataPath());
#else
    return m_data.path() / "Kestrelwright";
#endif
  }

  kwtest::SettingsArea m_settings;
  kwtest::ScratchDir m_temp, m_data;
#ifdef _WIN32
  kwtest::ScopedEnv m_tmp{"TMP", m_temp.path().string()}, m_temp2{"TEMP", m_temp.path().string()};
#else
  kwtest::ScopedEnv m_tmp{"TMPDIR", m_temp.path().string()};
  kwtest::ScopedEnv m_xdg{"XDG_DATA_HOME", m_data.path().string()};
#endif
  std::wstring m_app = L"KwFileLog" + kwtest::uniqueName().substr(0, 8);
};

TEST_F(FileLogSwitch, OffMakesNoFileOnMakesOneInEachFolder) {
  ASSERT_EQ(runWriter("both", 3), 0);
  {
    kwtest::SwitchSetting off(m_app + L"FileLogging", 0);
    ASSERT_EQ(runWriter("both", 3), 0);
  }
  EXPECT_FALSE(fs::exists(temp()));
  EXPECT_FALSE(fs::exists(traceFile(data())));

  kwtest::SwitchSetting on(m_app + L"FileLogging", 1);
  ASSERT_EQ(runWriter("temp", 2), 0);
  ASSERT_EQ(runWriter("data", 3), 0);
  EXPECT_EQ(linesOf(traceFile(temp())).size(), 2u);
  EXPECT_EQ(linesOf(traceFile(data())).size(), 3u);
  fs::remove(traceFile(data()));
}

TEST_F(FileLogSwitch, TwoProcessesShareOneWholeFile) {
  constexpr int kEach = 2500;
  kwtest::SwitchSetting on(m_app + L"FileLogging", 1);
  kwtest::ScratchDir signals;
  const std::string go = (signals.path() / "go").string();
  kwtest::ChildProcess first("fileTraceWriter", writerArgs("temp", kEach, go, "A")),
      second("fileTraceWriter", writerArgs("temp", kEach, go, "B"));
  kwtest::touchFile(go);
  ASSERT_EQ(first.wait(), 0);
  ASSERT_EQ(second.wait(), 0);

  std::vector<std::wstring> got = linesOf(traceFile(temp()));
  ASSERT_EQ(got.size(), 2u * kEach);
  // Each writer's events arrive whole and in order.
  int next[2] = {0, 0};
  for (const std::wstring& line : got) {
    ASSERT_GT(line.size(), 21u) << narrow(line);
    const int writer = line[line.size() - 2] == L'B' ? 1 : 0;
    const int i = next[writer]++;
    ASSERT_EQ(line.substr(20),
              shown(i, L"event " + std::to_wstring(i) + L" of " + (writer ? L"B" : L"A")))
        << narrow(line);
  }
}

#ifndef _WIN32
namespace {

// What another user plants in a shared temporary folder before us.
struct Planted {
  std::string sharedFolder;  // /tmp/Kestrelwright as that user's 0777 folder
  std::string ownFolder;     // our per-user folder taken first, or empty
  bool ownAsLink;            // ... as a link to the shared folder
  std::string traceName;     // KW<app>.log
  std::string target;        // the root-only file the links lead to
};

int plant(const void* data) {
  const auto& p = *static_cast<const Planted*>(data);
  if (mkdir(p.sharedFolder.c_str(), 0777) != 0 || chmod(p.sharedFolder.c_str(), 0777) != 0)
    return 2;
  if (symlink(p.target.c_str(), (p.sharedFolder + "/" + p.traceName).c_str()) != 0) return 3;
  if (p.ownFolder.empty()) return 0;
  if (p.ownAsLink) return symlink(p.sharedFolder.c_str(), p.ownFolder.c_str()) == 0 ? 0 : 4;
  const std::string inner = p.ownFolder + "/Kestrelwright";
  if (mkdir(p.ownFolder.c_str(), 0777) != 0 || chmod(p.ownFolder.c_str(), 0777) != 0 ||
      mkdir(inner.c_str(), 0777) != 0 || chmod(inner.c_str(), 0777) != 0)
    return 5;
  return symlink(p.target.c_str(), (inner + "/" + p.traceName).c_str()) == 0 ? 0 : 6;
}

}  // namespace

// Another user prepares the shared temporary folder: the suite's folder and
// even our per-user one, with the trace file's name as a link to a file
// only root may write. Root's trace must not reach that file.
TEST_F(FileLogSwitch, NoTraceThroughAnotherUsersFolderInASharedTemp) {
  std::string reason;
  if (!kwtest::canActAsOtherUser(reason)) GTEST_SKIP() << reason;
  kwtest::SwitchSetting on(m_app + L"FileLogging", 1);
  const std::string own = "Kestrelwright-" + std::to_string(geteuid());
  struct Case {
    const char* what;
    bool takeOwn, ownAsLink;
  } cases[] = {{"suite folder planted", false, false},
               {"per-user folder taken too", true, false},
               {"per-user folder a link", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kwtest::ScratchDir scratch, runtime;
    const fs::path shared = scratch.path() / "tmp", secret = scratch.path() / "secret";
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    std::ofstream(secret) << "root only\n";
    chmod(secret.c_str(), 0600);
    chmod(runtime.path().c_str(), 0700);
    const Planted planted{(shared / "Kestrelwright").string(),
                          c.takeOwn ? (shared / own).string() : std::string(), c.ownAsLink,
                          "KW" + narrow(m_app) + ".log", secret.string()};
    ASSERT_EQ(kwtest::runAsOtherUser(plant, &planted), 0);
    int exitCode;
    {
      kwtest::ScopedEnv tmp("TMPDIR", shared.string());
      kwtest::ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path().string());
      exitCode = runWriter("temp", 2);
    }
    EXPECT_EQ(readFile(secret), "root only\n");
    ASSERT_EQ(exitCode, 0);
    // The trace went to a folder of root's own instead.
    const fs::path folder =
        c.takeOwn ? runtime.path() / "tmp" / "Kestrelwright" : shared / own / "Kestrelwright";
    EXPECT_EQ(linesOf(traceFile(folder)).size(), 2u);
    struct stat info {};
    ASSERT_EQ(stat(folder.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 077, 0u);
  }
}

// In a folder of our own, the trace file's name taken by a link, a file
// others may write, a second name of another file, a FIFO or another user's
// file: the device writes through none of them.
TEST(FileLogDevice, WritesThroughNoLinkForeignOrSharedFile) {
  kwtest::ScratchDir scratch;
  const fs::path secret = scratch.path() / "secret", link = scratch.path() / "link.log",
                 open = scratch.path() / "open.log", second = scratch.path() / "second.log",
                 fifo = scratch.path() / "fifo.log", foreign = scratch.path() / "foreign.log";
  for (const fs::path& file : {secret, open, foreign}) std::ofstream(file) << "kept\n";
  chmod(secret.c_str(), 0600);
  chmod(open.c_str(), 0666);
  fs::create_symlink(secret, link);
  fs::create_hard_link(secret, second);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A reader holds the FIFO open, so that even a blocking open returns.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::string reason;
  const bool otherUser = kwtest::canActAsOtherUser(reason);
  if (otherUser) ASSERT_EQ(chown(foreign.c_str(), kwtest::otherUserId(), 0), 0);
  for (const fs::path& path : {link, open, second, fifo, foreign}) {
    if (path == foreign && !otherUser) continue;
    SCOPED_TRACE(path.string());
    FileLogDevice device;
    device.SetLogFilePath(path.wstring().c_str());
    EXPECT_NO_THROW(write(device, 1, L"elsewhere"));
  }
  for (const fs::path& file : {secret, open, foreign}) EXPECT_EQ(readFile(file), "kept\n") << file;
  char byte;
  EXPECT_LE(::read(reader, &byte, 1), 0);
  ::close(reader);
  if (!otherUser) GTEST_SKIP() << "another user's file: " << reason;
}
#endif
