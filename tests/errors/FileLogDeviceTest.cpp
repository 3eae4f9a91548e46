// Tests of FileLogDevice and its switch: whole UTF-16LE lines, silent failures, the temporary and
// data folders, and two processes appending to one file.
#include <gtest/gtest.h>
#include <kw/Event.h>
#include <kw/File.h>
#include <kw/FileLogDevice.h>
#include <kw/Logger.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/OtherUser.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"
#include "support/Text.h"
#include "support/TraceCapture.h"

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
namespace fs = std::filesystem;

namespace {

using kwtest::readFile;

// The file as text, after checking that it is whole UTF-16LE code units
// with no byte-order mark.
std::wstring readTrace(const fs::path& path) {
  std::string bytes = readFile(path);
  EXPECT_EQ(bytes.size() % 2, 0u) << path;
  EXPECT_FALSE(bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') << path;
  std::wstring text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1])
                                                               << 8;
    // Where wchar_t holds whole code points, a surrogate pair becomes one.
    if (sizeof(wchar_t) == 4 && !text.empty() && unit >= 0xDC00 && unit <= 0xDFFF &&
        text.back() >= 0xD800 && text.back() <= 0xDBFF) {
      text.back() =
          static_cast<wchar_t>(0x10000 + ((text.back() - 0xD800) << 10) + (unit - 0xDC00));
    } else {
      text += static_cast<wchar_t>(unit);
    }
  }
  return text;
}

// Lines without their "\r\n"; a last line without one is kept as it is.
std::vector<std::wstring> lines(const std::wstring& text) {
  std::vector<std::wstring> result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      result.push_back(text.substr(start) + L"<unterminated>");
      break;
    }
    result.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return result;
}

void write(FileLogDevice& device, int id, const wchar_t* text) {
  Event event(id, text, Event::Info, L"FileLogDeviceTest.cpp", __LINE__, L"write");
  device.Write(event);
}

using kwtest::narrow;

// Another writer's unshared hold on a file: Windows' no-sharing open, and on
// Linux the nearest thing, an exclusive flock.
class ForeignHold {
 public:
  explicit ForeignHold(const fs::path& path) {
#ifdef _WIN32
    m_handle = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd >= 0) ::flock(m_fd, LOCK_EX);
#endif
  }
  ~ForeignHold() {
#ifdef _WIN32
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
#else
    if (m_fd >= 0) ::close(m_fd);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE m_handle;
#else
  int m_fd;
#endif
};

}  // namespace

TEST(FileLogDevice, AppendsWholeUtf16LinesWithoutAMark) {
  kwtest::ScratchDir scratch;
  fs::path path = scratch.path() / "trace.log";
  FileLogDevice device;
  device.SetLogFilePath(path.wstring().c_str());
  write(device, 1, L"first");
  // Another process appending between two events is simply followed.
  std::ofstream(path, std::ios::binary | std::ios::app).write("x\0\r\0\n\0", 6);
  write(device, 2, L"second \U0001F600");

  std::string bytes = readFile(path);
  ASSERT_GE(bytes.size(), 2u);
  // The file starts with the first digit of the time, in one little-endian unit.
  EXPECT_TRUE(bytes[0] >= '0' && bytes[0] <= '9' && bytes[1] == '\0');
  // The emoji is one surrogate pair on both targets.
  EXPECT_NE(bytes.find(std::string("\x3D\xD8\x00\xDE", 4)), std::string::npos);

  // Pairs at every offset within a run of plain characters, and runs long
  // and short around them, come back as they went.
  std::wstring mixed;
  for (int i = 0; i < 12; ++i) mixed += std::wstring(i, L'a' + i) + L"\U0001F600\u00E9\u20AC";
  write(device, 3, mixed.c_str());

  std::vector<std::wstring> got = lines(readTrace(path));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].substr(20), L"Info    1 first ");
  EXPECT_EQ(got[1], L"x");
  EXPECT_EQ(got[2].substr(20), L"Info    2 second \U0001F600 ");
  EXPECT_EQ(got[3].substr(20), L"Info    3 " + mixed + L" ");
}

#ifndef _WIN32
TEST(FileLogDevice, CharactersOutsideUnicodeBecomeReplacements) {
  kwtest::ScratchDir scratch;
  fs::path path = scratch.path() / "replaced.log";
  FileLogDevice device;
  device.SetLogFilePath(path.wstring().c_str());
  const std::wstring text = std::wstring(L"0123456") + static_cast<wchar_t>(0x110000) +
                            L"89abcdef" + static_cast<wchar_t>(-1);
  write(device, 1, text.c_str());
  std::vector<std::wstring> got = lines(readTrace(path));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].substr(20), L"Info    1 0123456\uFFFD89abcdef\uFFFD ");
}
#endif

// The device reuses one line buffer per thread: a long line must leave
// nothing behind in the short one after it, and the event's flag ends as
// toString(true) leaves it.
TEST(FileLogDevice, ALongLineThenShortOnesAndTheEventsFlag) {
  kwtest::ScratchDir scratch;
  fs::path path = scratch.path() / "reuse.log";
  FileLogDevice device;
  device.SetLogFilePath(path.wstring().c_str());
  std::wstring longText(40000, L'l');
  longText += L"\U0001F600end";
  write(device, 1, longText.c_str());
  write(device, 2, L"short");
  Event fresh(3, L"fresh", Event::Warning, L"FileLogDeviceTest.cpp", __LINE__, L"test");
  fresh.toString(false);
  device.Write(fresh);
  EXPECT_TRUE(fresh.getIncludeHeaders());
  write(device, 4, L"");

  std::vector<std::wstring> got = lines(readTrace(path));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].substr(20), L"Info    1 " + longText + L" ");
  EXPECT_EQ(got[1].substr(20), L"Info    2 short ");
  EXPECT_EQ(got[2].substr(20), L"Warning 3 fresh ");
  EXPECT_EQ(got[3].substr(20), L"Info    4  ");
  EXPECT_EQ(fresh.toString(true).substr(20), L"Warning 3 fresh \r\n");
}

TEST(FileLogDevice, PathSettingAndSilentFailures) {
  kwtest::ScratchDir scratch;
  fs::path path = scratch.path() / "kept.log";
  FileLogDevice device;
  write(device, 1, L"no path yet");  // does nothing

  device.SetLogFilePath(path.wstring().c_str());
  device.SetLogFilePath(nullptr);
  write(device, 2, L"kept");
  EXPECT_EQ(lines(readTrace(path)).size(), 1u);

  // A file deleted between events comes back with the next one.
  fs::remove(path);
  write(device, 3, L"again");
  EXPECT_EQ(lines(readTrace(path)).size(), 1u);

  {
    // While another writer holds the file, Windows drops the events. Linux
    // has no such hold: an advisory lock does not stop them.
    ForeignHold hold(path);
    EXPECT_NO_THROW(write(device, 4, L"during the hold"));
  }
  write(device, 5, L"after the hold");
  std::vector<std::wstring> got = lines(readTrace(path));
#ifdef _WIN32
  const std::size_t kept = 2;
#else
  const std::size_t kept = 3;
  ASSERT_EQ(got.size(), kept);
  EXPECT_EQ(got[1].substr(20), L"Info    4 during the hold ");
#endif
  ASSERT_EQ(got.size(), kept);
  EXPECT_EQ(got.back().substr(20), L"Info    5 after the hold ");

  device.SetLogFilePath(L"");
  write(device, 6, L"off");
  EXPECT_EQ(lines(readTrace(path)).size(), kept);

  fs::path missing = scratch.path() / "missing" / "x.log";
  device.SetLogFilePath(missing.wstring().c_str());
  EXPECT_NO_THROW(write(device, 7, L"nowhere"));
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

namespace {

// Points the suite's working folders of a child at a scratch folder: the
// temporary one always, the per-user one where the platform lets it.
class WorkingFolders {
 public:
  WorkingFolders() {
#ifdef _WIN32
    kwtest::setEnv("TMP", m_temp.path().string());
    kwtest::setEnv("TEMP", m_temp.path().string());
#else
    kwtest::setEnv("TMPDIR", m_temp.path().string());
    kwtest::setEnv("XDG_DATA_HOME", m_data.path().string());
#endif
  }
  ~WorkingFolders() {
#ifdef _WIN32
    kwtest::setEnv("TMP", m_savedTmp);
    kwtest::setEnv("TEMP", m_savedTemp);
#else
    kwtest::setEnv("TMPDIR", m_savedTmp);
    kwtest::setEnv("XDG_DATA_HOME", m_savedTemp);
#endif
  }

  fs::path temp() const { return m_temp.path() / "Kestrelwright"; }
  fs::path data() const {
#ifdef _WIN32
    return fs::path(kw::File::getUsersLocalDataPath());
#else
    return m_data.path() / "Kestrelwright";
#endif
  }

 private:
  static std::string saved(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
  }
#ifdef _WIN32
  std::string m_savedTmp = saved("TMP");
  std::string m_savedTemp = saved("TEMP");
#else
  std::string m_savedTmp = saved("TMPDIR");
  std::string m_savedTemp = saved("XDG_DATA_HOME");
#endif
  kwtest::ScratchDir m_temp;
  kwtest::ScratchDir m_data;
};

}  // namespace

// args: application, which folders ("temp", "data" or "both"), events to
// trace, a file to wait for before tracing (or "-"), and the writer's tag.
KW_CHILD_MAIN(fileTraceWriter) {
  if (args.size() != 5) return 20;
  std::wstring app(args[0].begin(), args[0].end());
  Logger::initialise(app.c_str());
  if (args[1] != "data") Logger::addFileLogDevice(true);
  if (args[1] != "temp") Logger::addFileLogDevice(false);
  if (args[3] != "-" && !kwtest::waitForFile(args[3])) return 21;
  const int count = std::stoi(args[2]);
  const std::wstring tag(args[4].begin(), args[4].end());
  for (int i = 0; i < count; ++i) {
    std::wstring text = L"event " + std::to_wstring(i) + L" of " + tag;
    Event event(i, text.c_str(), Event::Info, L"FileLogDeviceTest.cpp", __LINE__,
                L"fileTraceWriter");
    Logger::Trace(event);
  }
  Logger::shutDown();
  return 0;
}

class FileLogSwitch : public ::testing::Test {
 protected:
  int runWriter(const std::string& folders, int count) {
    kwtest::ChildProcess child("fileTraceWriter",
                               {narrow(m_app), folders, std::to_string(count), "-", "A"});
    EXPECT_TRUE(child.started());
    return child.wait();
  }
  fs::path traceFile(const fs::path& folder) const {
    return folder / ("KW" + narrow(m_app) + ".log");
  }

  kwtest::SettingsArea m_settings;
  WorkingFolders m_folders;
  std::wstring m_app = L"KwFileLog" + kwtest::uniqueName().substr(0, 8);
};

TEST_F(FileLogSwitch, OffMakesNoDeviceAndNoFolder) {
  ASSERT_EQ(runWriter("both", 3), 0);
  EXPECT_FALSE(fs::exists(m_folders.temp()));
  EXPECT_FALSE(fs::exists(traceFile(m_folders.data())));
  kwtest::SwitchSetting off(m_app + L"FileLogging", 0);
  ASSERT_EQ(runWriter("both", 3), 0);
  EXPECT_FALSE(fs::exists(m_folders.temp()));
}

TEST_F(FileLogSwitch, TempAndDataFoldersHoldTwoFilesOfOneName) {
  kwtest::SwitchSetting on(m_app + L"FileLogging", 1);
  ASSERT_EQ(runWriter("temp", 2), 0);
  ASSERT_EQ(runWriter("data", 3), 0);
  fs::path temp = traceFile(m_folders.temp());
  fs::path data = traceFile(m_folders.data());
  EXPECT_NE(temp, data);
  EXPECT_EQ(lines(readTrace(temp)).size(), 2u);
  EXPECT_EQ(lines(readTrace(data)).size(), 3u);
  fs::remove(data);
}

TEST_F(FileLogSwitch, TwoProcessesShareOneWholeFile) {
  constexpr int kEach = 2500;
  kwtest::SwitchSetting on(m_app + L"FileLogging", 1);
  kwtest::ScratchDir signals;
  std::string go = (signals.path() / "go").string();
  auto writer = [&](const char* tag) {
    return std::make_unique<kwtest::ChildProcess>(
        "fileTraceWriter",
        std::vector<std::string>{narrow(m_app), "temp", std::to_string(kEach), go, tag});
  };
  auto first = writer("A");
  auto second = writer("B");
  ASSERT_TRUE(first->started() && second->started());
  kwtest::touchFile(go);
  ASSERT_EQ(first->wait(), 0);
  ASSERT_EQ(second->wait(), 0);

  std::vector<std::wstring> got = lines(readTrace(traceFile(m_folders.temp())));
  ASSERT_EQ(got.size(), 2u * kEach);
  // Each writer's events arrive whole and in order.
  int next[2] = {0, 0};
  int turns = 0;
  int last = -1;
  for (const std::wstring& line : got) {
    ASSERT_GT(line.size(), 21u) << narrow(line);
    const int writer = line.size() >= 2 && line[line.size() - 2] == L'B' ? 1 : 0;
    const int i = next[writer]++;
    std::wstring expected = L"Info    " + std::to_wstring(i) + L" event " + std::to_wstring(i) +
                            L" of " + (writer ? L"B" : L"A");
    ASSERT_EQ(line.substr(20), expected + L" ") << narrow(line);
    if (last != writer) ++turns;
    last = writer;
  }
  EXPECT_EQ(next[0], kEach);
  EXPECT_EQ(next[1], kEach);
  // How often the writers took turns: how much they actually overlapped.
  RecordProperty("turns", turns);
}

#ifndef _WIN32
namespace {

std::string contentOf(const fs::path& path) { return readFile(path); }

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
  const std::string workingTemp = std::getenv("TMPDIR");
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
    kwtest::setEnv("TMPDIR", shared.string());
    kwtest::setEnv("XDG_RUNTIME_DIR", runtime.path().string());
    const int exitCode = runWriter("temp", 2);
    kwtest::setEnv("XDG_RUNTIME_DIR", "");
    kwtest::setEnv("TMPDIR", workingTemp);
    EXPECT_EQ(contentOf(secret), "root only\n");
    ASSERT_EQ(exitCode, 0);
    // The trace went to a folder of root's own instead.
    const fs::path expected =
        c.takeOwn ? runtime.path() / "tmp" / "Kestrelwright" : shared / own / "Kestrelwright";
    EXPECT_EQ(lines(readTrace(traceFile(expected))).size(), 2u);
    struct stat info {};
    ASSERT_EQ(stat(expected.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 077, 0u);
  }
}

// In a folder of our own, the trace file's name taken by a link, a file
// others may write, a second name of another file or a FIFO: the device
// writes through none of them.
TEST(FileLogDevice, WritesThroughNoLinkForeignOrSharedFile) {
  kwtest::ScratchDir scratch;
  const fs::path secret = scratch.path() / "secret";
  std::ofstream(secret) << "kept\n";
  chmod(secret.c_str(), 0600);
  const fs::path link = scratch.path() / "link.log", open = scratch.path() / "open.log",
                 second = scratch.path() / "second.log", fifo = scratch.path() / "fifo.log";
  fs::create_symlink(secret, link);
  std::ofstream(open) << "kept\n";
  chmod(open.c_str(), 0666);
  fs::create_hard_link(secret, second);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A reader holds the FIFO open, so that even a blocking open returns.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::vector<fs::path> refused{link, open, second, fifo};
  std::string reason;
  if (kwtest::canActAsOtherUser(reason)) {
    const fs::path foreign = scratch.path() / "foreign.log";
    std::ofstream(foreign) << "kept\n";
    chmod(foreign.c_str(), 0600);
    ASSERT_EQ(chown(foreign.c_str(), kwtest::otherUserId(), 0), 0);
    refused.push_back(foreign);
  }
  for (const fs::path& path : refused) {
    SCOPED_TRACE(path.string());
    FileLogDevice device;
    device.SetLogFilePath(path.wstring().c_str());
    EXPECT_NO_THROW(write(device, 1, L"elsewhere"));
  }
  EXPECT_EQ(contentOf(secret), "kept\n");
  EXPECT_EQ(contentOf(open), "kept\n");
  char byte;
  EXPECT_LE(::read(reader, &byte, 1), 0);
  ::close(reader);
  if (!kwtest::canActAsOtherUser(reason)) GTEST_SKIP() << "another user's file: " << reason;
}
#endif
