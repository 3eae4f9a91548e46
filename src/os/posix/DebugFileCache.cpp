// The cache lives in $XDG_CACHE_HOME/kwbase/debug (or ~/.cache/kwbase/debug),
// a folder private to the user: a copy planted by someone else would decide
// what every exception says. Entries are named after the original's build
// ID, size and modification time; a copy is written under a unique name,
// flushed and renamed into place, so concurrent processes and crashes leave
// no half file under a real name. Each copy ends in a checksum of its bytes,
// checked whenever it is used: a copy that lost data to a crash or a bad
// disk is made again, not read. The folder holds at most a bounded number
// of bytes, the least recently used copies going first. Anything
// unexpected means the original file is used.
#include "os/posix/DebugFileCache.h"

#include <dirent.h>
#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "os/posix/InflatedCopy.h"
#include "os/posix/OwnedFile.h"

namespace kw::os {

namespace {

// Entries not used for this long are removed when a new one is written: a
// debug file replaced by an update leaves its old copy behind.
const time_t kUnusedLifetime = 30 * 24 * 3600;
// A hit refreshes the entry's time, its place in the least-recently-used
// order, at most this often.
const time_t kTouchInterval = 60;
// The most the folder holds, unless KW_DEBUG_CACHE_MB says otherwise.
const std::uint64_t kDefaultLimit = 512ull << 20;
// What ends every copy: this mark, then the checksum of all bytes before it.
const char kTrailerMark[8] = {'K', 'W', 'S', 'U', 'M', '0', '0', '2'};
const std::size_t kTrailerSize = sizeof kTrailerMark + 8;
// A temporary file this old belongs to a writer that died.
const time_t kAbandonedTemporary = 3600;

struct ElfFile {
  Elf* elf;
  explicit ElfFile(int fd, Elf_Cmd command) : elf(elf_begin(fd, command, nullptr)) {}
  ~ElfFile() {
    if (elf) elf_end(elf);
  }
  ElfFile(const ElfFile&) = delete;
  ElfFile& operator=(const ElfFile&) = delete;
};

std::uint64_t wordAt(const unsigned char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// One lane's step. The rotation carries a change in the lane's high bits
// into its low ones, where the multiply spreads it over the whole lane:
// without it, two changes of the same top bit would cancel.
std::uint64_t mixWord(std::uint64_t lane, std::uint64_t word) {
  return ((lane << 23 | lane >> 41) ^ word) * 0x9FB21C651E98DF25ull;
}

// A 64-bit checksum: not against an adversary (the folder is the user's
// own), against lost, zeroed or misplaced blocks. Four independent lanes,
// one word of each 32 bytes apiece, let the multiplies overlap, so the sum
// keeps up with memory.
struct Checksum {
  std::uint64_t a, b, c, d;

  explicit Checksum(std::uint64_t size)
      : a(0x9E3779B97F4A7C15ull ^ size),
        b(0xC2B2AE3D27D4EB4Full),
        c(0x165667B19E3779F9ull),
        d(0xD6E8FEB86659FD93ull) {}

  // Whole 32-byte stripes. The lanes are copied out: bytes may alias
  // members, which would keep them in memory.
  void add(const unsigned char* bytes, std::size_t stripes) {
    std::uint64_t la = a, lb = b, lc = c, ld = d;
    for (const unsigned char* end = bytes + 32 * stripes; bytes != end; bytes += 32) {
      la = mixWord(la, wordAt(bytes));
      lb = mixWord(lb, wordAt(bytes + 8));
      lc = mixWord(lc, wordAt(bytes + 16));
      ld = mixWord(ld, wordAt(bytes + 24));
    }
    a = la, b = lb, c = lc, d = ld;
  }

  // The last bytes, fewer than a stripe, padded with zeros: the size the
  // lanes started from tells them apart.
  std::uint64_t end(const unsigned char* bytes, std::size_t length, std::uint64_t size) {
    unsigned char tail[32] = {};
    if (length > 0) std::memcpy(tail, bytes, length);
    add(tail, 1);
    std::uint64_t hash = size;
    for (std::uint64_t lane : {a, b, c, d}) {
      hash = (hash ^ lane) * 0xFF51AFD7ED558CCDull;
      hash ^= hash >> 32;
    }
    return hash;
  }
};

bool readFully(int fd, unsigned char* buffer, std::size_t want, std::uint64_t offset) {
  for (std::size_t done = 0; done < want;) {
    ssize_t count = pread(fd, buffer + done, want - done, static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// The checksum of the first `size` bytes of a file, read through a mapping
// whose pages are read in first, so that a block the disk cannot read is
// an error here rather than a SIGBUS; by reads where the kernel cannot do that.
bool checksum(int fd, std::uint64_t size, std::uint64_t& sum) {
  Checksum running(size);
  const std::uint64_t whole = size / 32 * 32;
  if (size > 0 && size <= SIZE_MAX) {
    const auto length = static_cast<std::size_t>(size);
    void* mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped != MAP_FAILED) {
      const bool read = madvise(mapped, length, MADV_POPULATE_READ) == 0;
      const int error = errno;
      if (read) {
        const auto* bytes = static_cast<const unsigned char*>(mapped);
        running.add(bytes, static_cast<std::size_t>(whole / 32));
        sum = running.end(bytes + whole, static_cast<std::size_t>(size - whole), size);
      }
      munmap(mapped, length);
      if (read) return true;
      if (error != EINVAL) return false;
    }
  }
  std::vector<unsigned char> buffer(1 << 16);
  std::uint64_t done = 0;
  for (; done < whole;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), whole - done));
    if (!readFully(fd, buffer.data(), want, done)) return false;
    running.add(buffer.data(), want / 32);
    done += want;
  }
  const auto rest = static_cast<std::size_t>(size - whole);
  if (!readFully(fd, buffer.data(), rest, done)) return false;
  sum = running.end(buffer.data(), rest, size);
  return true;
}

// Ends the copy in the checksum of its bytes: `known`, or read from the file.
bool appendTrailer(int fd, const std::optional<std::uint64_t>& known) {
  struct stat info;
  std::uint64_t sum = known.value_or(0);
  if (fstat(fd, &info) != 0 ||
      (!known && !checksum(fd, static_cast<std::uint64_t>(info.st_size), sum)))
    return false;
  char trailer[kTrailerSize];
  std::memcpy(trailer, kTrailerMark, sizeof kTrailerMark);
  std::memcpy(trailer + sizeof kTrailerMark, &sum, sizeof sum);
  return pwrite(fd, trailer, sizeof trailer, info.st_size) == static_cast<ssize_t>(sizeof trailer);
}

// The copy's bytes still are what was written.
bool trailerHolds(int fd, std::uint64_t size) {
  char trailer[kTrailerSize];
  std::uint64_t expected = 0, sum = 0;
  if (size < kTrailerSize ||
      pread(fd, trailer, sizeof trailer, static_cast<off_t>(size - kTrailerSize)) !=
          static_cast<ssize_t>(sizeof trailer) ||
      std::memcmp(trailer, kTrailerMark, sizeof kTrailerMark) != 0)
    return false;
  std::memcpy(&expected, trailer + sizeof kTrailerMark, sizeof expected);
  return checksum(fd, size - kTrailerSize, sum) && sum == expected;
}

std::uint64_t cacheLimit() {
  const char* value = std::getenv("KW_DEBUG_CACHE_MB");
  char* end = nullptr;
  const unsigned long long megabytes = value && *value ? std::strtoull(value, &end, 10) : 0;
  return end && *end == 0 && megabytes > 0 ? megabytes << 20 : kDefaultLimit;
}

bool hasCompressedSections(Elf* elf) {
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr header;
    if (gelf_getshdr(scn, &header) && (header.sh_flags & SHF_COMPRESSED)) return true;
  }
  return false;
}

std::string buildId(Elf* elf) {
  const void* bytes = nullptr;
  ssize_t length = dwelf_elf_gnu_build_id(elf, &bytes);
  return length > 0 ? hexText(bytes, static_cast<std::size_t>(length)) : std::string();
}

// A cached copy fit to be used in place of a file with this build ID: ours,
// complete (every section's bytes within the file), uncompressed, and with
// `checked`, its bytes those its checksum was made of.
bool usableCopy(int fd, const std::string& expectedId, bool checked = true) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !ownedPrivately(info)) return false;
  if (checked && !trailerHolds(fd, static_cast<std::uint64_t>(info.st_size))) return false;
  ElfFile file(fd, ELF_C_READ_MMAP);
  if (!file.elf || elf_kind(file.elf) != ELF_K_ELF) return false;
  GElf_Ehdr elfHeader;
  if (!gelf_getehdr(file.elf, &elfHeader)) return false;
  const auto size = static_cast<GElf_Off>(info.st_size);
  if (elfHeader.e_shoff + static_cast<GElf_Off>(elfHeader.e_shnum) * elfHeader.e_shentsize > size)
    return false;
  for (Elf_Scn* scn = elf_nextscn(file.elf, nullptr); scn; scn = elf_nextscn(file.elf, scn)) {
    GElf_Shdr header;
    if (!gelf_getshdr(scn, &header) || (header.sh_flags & SHF_COMPRESSED)) return false;
    if (header.sh_type != SHT_NOBITS &&
        (header.sh_offset > size || header.sh_size > size - header.sh_offset))
      return false;
  }
  return buildId(file.elf) == expectedId;
}

// A name with a unique ending, which a writer gives its file until it is complete.
bool temporaryName(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  return dot != std::string::npos && dot + 1 < name.size() &&
         name.find_first_not_of("0123456789", dot + 1) == std::string::npos;
}

}  // namespace

std::string temporaryNameFor(const std::string& name) {
  char unique[64];
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::snprintf(unique, sizeof unique, ".%ld.%ld", static_cast<long>(getpid()),
                static_cast<long>(now.tv_nsec));
  return name + unique;
}

void markCacheEntryUsed(int fd, time_t modified) {
  if (time(nullptr) - modified > kTouchInterval) futimens(fd, nullptr);
}

void pruneCacheFolder(int folder, const std::string& keep) {
  int listFd = dup(folder);
  if (listFd < 0) return;
  DIR* list = fdopendir(listFd);
  if (!list) {
    close(listFd);
    return;
  }
  struct Entry {
    time_t used;
    std::uint64_t size;
    std::string name;
  };
  std::vector<Entry> kept;
  std::uint64_t total = 0;
  const time_t now = time(nullptr);
  while (dirent* entry = readdir(list)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
      continue;
    const bool temporary = temporaryName(name);
    if (name != keep && now - info.st_mtime > (temporary ? kAbandonedTemporary : kUnusedLifetime)) {
      unlinkat(folder, name.c_str(), 0);
      continue;
    }
    total += static_cast<std::uint64_t>(info.st_size);
    if (name != keep && !temporary)
      kept.push_back({info.st_mtime, static_cast<std::uint64_t>(info.st_size), name});
  }
  closedir(list);
  const std::uint64_t limit = cacheLimit();
  std::sort(kept.begin(), kept.end(),
            [](const Entry& a, const Entry& b) { return a.used < b.used; });
  for (const Entry& entry : kept) {
    if (total <= limit) break;
    if (unlinkat(folder, entry.name.c_str(), 0) == 0) total -= entry.size;
  }
}

namespace {

int cachedCopy(int folder, int original, const std::string& id, const std::string& name) {
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    if (usableCopy(fd, id)) {
      struct stat info;
      if (fstat(fd, &info) == 0) markCacheEntryUsed(fd, info.st_mtime);
      return fd;
    }
    close(fd);
    unlinkat(folder, name.c_str(), 0);
  }

  const std::string temporary = temporaryNameFor(name);
  fd = openat(folder, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // Flushed before the rename: after a crash the name never stands for
  // bytes that did not reach the disk.
  std::optional<std::uint64_t> sum;
  if (writeInflatedCopy(original, fd, sum) && usableCopy(fd, id, false) && appendTrailer(fd, sum) &&
      fsync(fd) == 0 && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0) {
    fsync(folder);
    pruneCacheFolder(folder, name);
    return fd;
  }
  close(fd);
  unlinkat(folder, temporary.c_str(), 0);
  return -1;
}

}  // namespace

int openCacheFolder(const char* name) {
  std::string base;
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else if (home && home[0] == '/') {
    base = std::string(home) + "/.cache";
    // Like other programs, make ~/.cache when it is missing.
    mkdir(base.c_str(), 0700);
  } else {
    return -1;
  }
  // The base itself may be shared (some set XDG_CACHE_HOME to a common
  // place); kwbase/ and its folders must be ours.
  int top = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return -1;
  int own = openPrivateFolder(top, "kwbase", true);
  close(top);
  if (own < 0) return -1;
  int folder = openPrivateFolder(own, name, true);
  close(own);
  return folder;
}

std::uint64_t checksumOf(const void* bytes, std::size_t size) {
  const auto* at = static_cast<const unsigned char*>(bytes);
  Checksum running(size);
  running.add(at, size / 32);
  return running.end(at + size / 32 * 32, size % 32, size);
}

std::string hexText(const void* bytes, std::size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned byte = static_cast<const unsigned char*>(bytes)[i];
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

int uncompressedDebugFile(int fd, const std::string* expectedId) {
  std::string id;
  bool compressed = false;
  if (elf_version(EV_CURRENT) != EV_NONE) {
    ElfFile file(fd, ELF_C_READ_MMAP);
    if (file.elf) {
      id = buildId(file.elf);
      compressed = hasCompressedSections(file.elf);
    }
  }
  if (expectedId && id != *expectedId) {
    close(fd);
    return -1;
  }
  struct stat info;
  if (!compressed || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return fd;
  if (id.empty()) return fd;
  int folder = openCacheFolder("debug");
  if (folder < 0) return fd;
  const std::string name = id + "-" + std::to_string(info.st_size) + "-" +
                           std::to_string(static_cast<long long>(info.st_mtime)) + ".debug";
  int copy = cachedCopy(folder, fd, id, name);
  close(folder);
  if (copy < 0) return fd;
  lseek(copy, 0, SEEK_SET);
  close(fd);
  return copy;
}

void releaseFilePages(const void* start, std::size_t size) {
  const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(start);
  // Only whole pages: a partial one may hold something else.
  const std::uintptr_t first = (begin + pageSize - 1) / pageSize, end = (begin + size) / pageSize;
  if (first >= end) return;
  int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (pagemap < 0) return;
  // Present and still the file's (a page written to is anonymous now).
  const std::uint64_t kPresent = 1ull << 63, kFilePage = 1ull << 61;
  std::uint64_t entries[512];
  std::uintptr_t runStart = 0, runEnd = 0;
  auto release = [&] {
    if (runEnd > runStart)
      madvise(reinterpret_cast<void*>(runStart * pageSize), (runEnd - runStart) * pageSize,
              MADV_DONTNEED);
    runStart = runEnd = 0;
  };
  for (std::uintptr_t page = first; page < end;) {
    const std::size_t want = std::min<std::uintptr_t>(end - page, 512);
    ssize_t got = pread(pagemap, entries, want * sizeof entries[0],
                        static_cast<off_t>(page * sizeof entries[0]));
    if (got <= 0) break;
    const std::size_t count = static_cast<std::size_t>(got) / sizeof entries[0];
    for (std::size_t i = 0; i < count; ++i, ++page) {
      if ((entries[i] & (kPresent | kFilePage)) == (kPresent | kFilePage)) {
        if (runEnd != page) {
          release();
          runStart = page;
        }
        runEnd = page + 1;
      }
    }
  }
  release();
  close(pagemap);
}

}  // namespace kw::os
