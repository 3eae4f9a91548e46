// The cache of uncompressed debug files, seen from exceptions built in
// child processes: where copies go, which folders and copies are refused,
// and that traces read the same with and without the cache. The C library's
// packaged debug file, whose sections are compressed, is what gets cached.
#if !defined(_WIN32)
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kw/Exception.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/ScopedEnv.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"

namespace fs = std::filesystem;

namespace {

bool hasCompressedSections(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  Elf64_Ehdr header{};
  if (!file.read(reinterpret_cast<char*>(&header), sizeof header) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
    return false;
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section{};
    file.seekg(static_cast<std::streamoff>(header.e_shoff + i * sizeof section));
    if (!file.read(reinterpret_cast<char*>(&section), sizeof section)) return false;
    if (section.sh_flags & SHF_COMPRESSED) return true;
  }
  return false;
}

KW_CHILD_MAIN(traceToFile) {
  kw::Exception e(1, L"cache", L"f", 1, L"g");
  std::wstring text = e.getStackTrace();
  // Addresses move with every process; the names, files and lines do not.
  for (wchar_t& c : text)
    if ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) c = L'#';
  std::ofstream(args.at(0), std::ios::binary)
      .write(reinterpret_cast<const char*>(text.data()),
             static_cast<std::streamsize>(text.size() * sizeof(wchar_t)));
  // Which debug files libdw read the trace from: cached copies, compressed
  // ones, any.
  std::ifstream maps("/proc/self/maps");
  std::ofstream cached(args.at(0) + ".cached"), compressed(args.at(0) + ".compressed"),
      any(args.at(0) + ".any");
  for (std::string line; std::getline(maps, line);) {
    const std::size_t path = line.find('/');
    const bool debug = path != std::string::npos && line.size() > 6 &&
                       line.compare(line.size() - 6, 6, ".debug") == 0;
    if (debug) any << line << '\n';
    if (line.find("/kwbase/debug/") != std::string::npos)
      cached << line << '\n';
    else if (debug && hasCompressedSections(line.substr(path)))
      compressed << line << '\n';
  }
  return 0;
}

std::vector<fs::path> entries(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) found.push_back(entry.path());
  return found;
}

unsigned modeOf(const fs::path& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class DebugFileCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      kwtest::ScopedEnv xdg("XDG_CACHE_HOME", "");
      kwtest::ScopedEnv home("HOME", "");
      m_expected = trace();
      m_needsCache = m_readCompressed;
    }
    ASSERT_FALSE(m_expected.empty());
    m_cacheHome = m_scratch.path() / "cache";
    m_folder = m_cacheHome / "kwbase" / "debug";
    m_frames = m_cacheHome / "kwbase" / "frames";
    fs::create_directory(m_cacheHome);
  }

  // The trace of a child's exception, with the cache folder set or not;
  // without the frames earlier children kept unless `keptFrames`.
  std::string trace(bool cached = false, bool keptFrames = false) {
    std::error_code error;
    if (!keptFrames && !m_frames.empty()) fs::remove_all(m_frames, error);
    kwtest::ScopedEnv xdg("XDG_CACHE_HOME", cached ? m_cacheHome.string() : "");
    const fs::path file = m_scratch.path() / ("trace" + std::to_string(++m_traces));
    kwtest::ChildProcess child("traceToFile", {file.string()});
    EXPECT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0);
    m_usedCache = fs::file_size(file.string() + ".cached") > 0;
    m_readCompressed = fs::file_size(file.string() + ".compressed") > 0;
    m_readDebugFile = fs::file_size(file.string() + ".any") > 0;
    return kwtest::readFile(file);
  }

  // Fills the cache; true when copies were made.
  bool fillCache() {
    EXPECT_EQ(trace(true), m_expected);
    EXPECT_TRUE(m_usedCache);
    EXPECT_FALSE(m_readCompressed);
    return !entries(m_folder).empty();
  }

  kwtest::SettingsArea m_area;
  kwtest::ScratchDir m_scratch;
  std::string m_expected;
  fs::path m_cacheHome, m_folder, m_frames;
  int m_traces = 0;
  bool m_usedCache = false;       // the last trace read a cached copy
  bool m_readCompressed = false;  // the last trace read a compressed debug file
  bool m_readDebugFile = false;   // the last trace read any debug file
  bool m_needsCache = false;      // without the cache, one is read
};

const char* const kNoCompressedDebugFile = "no debug file with compressed sections is read here";

// A file in the cache folder, last changed that many days ago.
void placeFile(const fs::path& path, int daysAgo) {
  std::ofstream(path) << "old";
  const timespec times[2] = {{time(nullptr) - daysAgo * 86400L, 0},
                             {time(nullptr) - daysAgo * 86400L, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST_F(DebugFileCacheTest, CopyIsPrivateMadeOnceAndGivesTheSameTrace) {
  if (!m_needsCache) GTEST_SKIP() << kNoCompressedDebugFile;
  // Writing a copy clears out what was not used for weeks and what writers
  // that died left.
  fs::create_directories(m_folder);
  chmod((m_cacheHome / "kwbase").c_str(), 0700);
  chmod(m_folder.c_str(), 0700);
  placeFile(m_folder / "0123-5-6.debug", 40);
  placeFile(m_folder / "4567-5-6.debug", 2);
  placeFile(m_folder / "89ab-5-6.debug.77.88", 1);
  ASSERT_TRUE(fillCache());
  EXPECT_FALSE(fs::exists(m_folder / "0123-5-6.debug"));
  EXPECT_TRUE(fs::exists(m_folder / "4567-5-6.debug"));
  EXPECT_FALSE(fs::exists(m_folder / "89ab-5-6.debug.77.88"));
  fs::remove(m_folder / "4567-5-6.debug");

  EXPECT_EQ(modeOf(m_cacheHome / "kwbase"), 0700u);
  EXPECT_EQ(modeOf(m_folder), 0700u);
  const auto made = entries(m_folder);
  for (const auto& entry : made) {
    EXPECT_EQ(modeOf(entry), 0600u) << entry;
    EXPECT_EQ(entry.extension(), ".debug") << entry;
  }
  struct stat before {};
  ASSERT_EQ(stat(made[0].c_str(), &before), 0);

  EXPECT_EQ(trace(true), m_expected);
  EXPECT_TRUE(m_usedCache);
  EXPECT_EQ(entries(m_folder).size(), made.size());
  struct stat after {};
  ASSERT_EQ(stat(made[0].c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST_F(DebugFileCacheTest, FolderOthersCanWriteOrNotOursIsNotUsed) {
  fs::create_directories(m_folder);
  chmod(m_folder.c_str(), 0770);
  EXPECT_EQ(trace(true), m_expected);
  EXPECT_FALSE(m_usedCache);
  EXPECT_TRUE(entries(m_folder).empty());

  chmod(m_folder.c_str(), 0700);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(m_folder.c_str(), 1, 1), 0);
    EXPECT_EQ(trace(true), m_expected);
    EXPECT_TRUE(entries(m_folder).empty());
  }

  // A link in place of the folder is not followed.
  fs::remove_all(m_cacheHome / "kwbase");
  const fs::path elsewhere = m_scratch.path() / "elsewhere";
  fs::create_directories(elsewhere / "debug");
  chmod(elsewhere.c_str(), 0700);
  chmod((elsewhere / "debug").c_str(), 0700);
  fs::create_directory_symlink(elsewhere, m_cacheHome / "kwbase");
  EXPECT_EQ(trace(true), m_expected);
  EXPECT_TRUE(entries(elsewhere / "debug").empty());
}

TEST_F(DebugFileCacheTest, DamagedOrForeignCopyIsNotUsedAndIsMadeAgain) {
  if (!m_needsCache) GTEST_SKIP() << kNoCompressedDebugFile;
  ASSERT_TRUE(fillCache());
  const fs::path entry = entries(m_folder)[0];
  const auto size = fs::file_size(entry);

  fs::resize_file(entry, size / 2);
  EXPECT_EQ(trace(true), m_expected);
  EXPECT_TRUE(m_usedCache);
  EXPECT_EQ(fs::file_size(entry), size);

  // Complete, but another file's: its build ID differs.
  fs::copy_file("/proc/self/exe", entry, fs::copy_options::overwrite_existing);
  chmod(entry.c_str(), 0600);
  EXPECT_EQ(trace(true), m_expected);
  EXPECT_EQ(fs::file_size(entry), size);
}

std::string bytesOf(const fs::path& path) { return kwtest::readFile(path); }

// Whole and of the right build ID, but damaged: a block lost (zeroed, as a
// crash leaves data that never reached the disk), one bit flipped, or the
// top bits of two words of one lane flipped, which a weak sum lets cancel.
// Not read, made again.
TEST_F(DebugFileCacheTest, DamagedContentIsNotUsedAndIsMadeAgain) {
  if (!m_needsCache) GTEST_SKIP() << kNoCompressedDebugFile;
  ASSERT_TRUE(fillCache());
  struct Damage {
    const char* name;
    std::vector<std::pair<std::size_t, unsigned char>> flips;  // offset from the middle, mask
  };
  std::vector<std::pair<std::size_t, unsigned char>> lostBlock;
  for (std::size_t i = 0; i < 4096; ++i) lostBlock.push_back({i, 0});
  const Damage damages[] = {{"lost block", lostBlock},
                            {"one bit", {{3, 0x10}}},
                            {"two top bits", {{7, 0x80}, {39, 0x80}}}};
  std::vector<fs::path> copies = entries(m_folder);
  std::vector<std::string> good;
  for (const fs::path& entry : copies) good.push_back(bytesOf(entry));
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    for (std::size_t i = 0; i < copies.size(); ++i) {
      ASSERT_GT(good[i].size(), 16384u);
      std::string bytes = good[i];
      const std::size_t middle = bytes.size() / 2 / 4096 * 4096;
      for (const auto& flip : damage.flips)
        bytes[middle + flip.first] =
            static_cast<char>(flip.second ? bytes[middle + flip.first] ^ flip.second : 0);
      ASSERT_NE(bytes, good[i]);
      std::fstream file(copies[i], std::ios::binary | std::ios::in | std::ios::out);
      file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    EXPECT_EQ(trace(true), m_expected);
    EXPECT_TRUE(m_usedCache);
    for (std::size_t i = 0; i < copies.size(); ++i)
      EXPECT_TRUE(bytesOf(copies[i]) == good[i]) << copies[i] << ": the damaged copy was kept";
  }
}

// Past its limit, the folder loses its least recently used entries first;
// the copy just made stays.
TEST_F(DebugFileCacheTest, LimitEvictsTheLeastRecentlyUsedFirst) {
  if (!m_needsCache) GTEST_SKIP() << kNoCompressedDebugFile;
  ASSERT_TRUE(fillCache());
  std::uintmax_t made = 0;
  for (const fs::path& entry : entries(m_folder)) made += fs::file_size(entry);
  for (const fs::path& entry : entries(m_folder)) fs::remove(entry);
  const std::uintmax_t mb = 1 << 20;
  // Room for the copies and one of the two older entries, not for both.
  kwtest::ScopedEnv limit("KW_DEBUG_CACHE_MB", std::to_string((made + mb - 1) / mb + 3));
  const fs::path older = m_folder / "0123-5-6.debug", newer = m_folder / "4567-5-6.debug";
  placeFile(older, 3);
  placeFile(newer, 1);
  for (const fs::path& entry : {older, newer}) {
    fs::resize_file(entry, 2 * mb);
    const timespec times[2] = {{0, UTIME_OMIT},
                               {time(nullptr) - (entry == older ? 3 : 1) * 86400L, 0}};
    utimensat(AT_FDCWD, entry.c_str(), times, 0);
  }
  EXPECT_EQ(trace(true), m_expected);
  EXPECT_FALSE(fs::exists(older));
  EXPECT_TRUE(fs::exists(newer));
  std::uintmax_t now = 0;
  for (const fs::path& entry : entries(m_folder)) now += fs::file_size(entry);
  EXPECT_EQ(now, made + 2 * mb);
}

// Frames resolved once are kept for the next process, which then reads no
// debug file for them; a kept file that is damaged or not the user's own is
// not read but written again. The trace reads the same throughout.
TEST_F(DebugFileCacheTest, KeptFramesGiveTheSameTraceWithoutDebugFiles) {
  EXPECT_EQ(trace(true), m_expected);
  if (!m_readDebugFile) GTEST_SKIP() << "no separate debug file is read here";
  EXPECT_EQ(modeOf(m_frames), 0700u);
  const std::vector<fs::path> kept = entries(m_frames);
  ASSERT_GT(kept.size(), 1u);
  std::vector<std::string> good;
  for (const fs::path& entry : kept) {
    EXPECT_EQ(modeOf(entry), 0600u) << entry;
    EXPECT_EQ(entry.extension(), ".frames") << entry;
    good.push_back(bytesOf(entry));
  }
  EXPECT_EQ(trace(true, true), m_expected);
  EXPECT_FALSE(m_readDebugFile);

  struct Damage {
    const char* name;
    // The file, its good bytes and another module's.
    void (*apply)(const fs::path& entry, const std::string& bytes, const std::string& other);
  };
  const Damage damages[] = {
      {"cut short", [](const fs::path& entry, const std::string& bytes,
                       const std::string&) { fs::resize_file(entry, bytes.size() - 1); }},
      {"one bit",
       [](const fs::path& entry, const std::string& bytes, const std::string&) {
         std::string damaged = bytes;
         damaged[damaged.size() / 2] ^= 0x04;
         std::ofstream(entry, std::ios::binary) << damaged;
       }},
      {"others may write", [](const fs::path& entry, const std::string&,
                              const std::string&) { chmod(entry.c_str(), 0620); }},
      {"a link to a good copy",
       [](const fs::path& entry, const std::string& bytes, const std::string&) {
         const fs::path copy = entry.string() + "-copy";
         std::ofstream(copy, std::ios::binary) << bytes;
         chmod(copy.c_str(), 0600);
         fs::remove(entry);
         fs::create_symlink(copy, entry);
       }},
      {"another module's", [](const fs::path& entry, const std::string&, const std::string& other) {
         std::ofstream(entry, std::ios::binary) << other;
       }}};
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    for (std::size_t i = 0; i < kept.size(); ++i)
      damage.apply(kept[i], good[i], good[(i + 1) % kept.size()]);
    EXPECT_EQ(trace(true, true), m_expected);
    EXPECT_TRUE(m_readDebugFile);
    for (std::size_t i = 0; i < kept.size(); ++i) {
      EXPECT_EQ(modeOf(kept[i]), 0600u) << kept[i];
      EXPECT_TRUE(bytesOf(kept[i]) == good[i]) << kept[i] << ": not written again";
      fs::remove(kept[i].string() + "-copy");
    }
  }
}

// A debug file that turns up where the search looks before the one the
// frames were resolved from makes them unusable: the next process reads
// debug files again.
TEST_F(DebugFileCacheTest, KeptFramesAreNotUsedOnceTheSearchWouldFindAnotherFile) {
  const fs::path before = fs::current_path(), work = m_scratch.path() / "work";
  fs::create_directory(work);
  fs::current_path(work);
  EXPECT_EQ(trace(true), m_expected);
  const auto copies = entries(m_folder);
  const std::string id = copies.empty() ? "" : copies[0].stem().string().substr(0, 40);
  const fs::path installed =
      "/usr/lib/debug/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
  if (id.size() < 40 || !fs::exists(installed)) {
    fs::current_path(before);
    GTEST_SKIP() << kNoCompressedDebugFile;
  }
  EXPECT_EQ(trace(true, true), m_expected);
  EXPECT_FALSE(m_readDebugFile);
  // The current folder is searched before /usr/lib/debug.
  fs::create_directories(work / ".build-id" / id.substr(0, 2));
  fs::create_symlink(installed, work / ".build-id" / id.substr(0, 2) / (id.substr(2) + ".debug"));
  EXPECT_EQ(trace(true, true), m_expected);
  EXPECT_TRUE(m_readDebugFile);
  fs::current_path(before);
}

TEST_F(DebugFileCacheTest, NoCacheWithoutHomeOrWithRelativeCacheFolder) {
  kwtest::ScopedEnv home("HOME", "");
  const fs::path before = fs::current_path();
  fs::current_path(m_scratch.path());
  m_cacheHome = "relative";
  EXPECT_EQ(trace(true), m_expected);
  EXPECT_FALSE(fs::exists(m_scratch.path() / "relative" / "kwbase"));
  fs::current_path(before);
}

}  // namespace
#endif
