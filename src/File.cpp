// File: the file-system operations, and the temporary and data folders each filled once and
// cached.
#include <kw/File.h>
#include <kw/FileName.h>
#include <kw/SiteId.h>
#include <kw/Tools.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "RootedPath.h"
#include "Site.h"
#include "os/ErrorText.h"
#include "os/FileSystem.h"

namespace kw {

namespace {

const wchar_t kSourceFile[] = L".\\src\\File";
const wchar_t kSuiteFolder[] = L"Kestrelwright";

// Makes a missing folder; true when it is there afterwards. Another process
// making it between the look and the make is no failure; a real failure
// keeps its system error.
bool folderMade(const std::wstring& path) {
  if (File::directoryExists(path.c_str()) || os::createFolder(path)) return true;
  bool there = false;
  os::keepingLastError([&] { there = File::directoryExists(path.c_str()); });
  return there;
}

// A folder filled once: readers that see `filled` read `path` without a
// lock, as nothing changes it afterwards.
struct CachedFolder {
  std::mutex lock;
  std::atomic<bool> filled{false};
  std::wstring path;
};

// Function statics: the logger may ask for a folder while other statics are
// still being built.
CachedFolder& tempCache() {
  static CachedFolder cache;
  return cache;
}

CachedFolder& dataCache() {
  static CachedFolder cache;
  return cache;
}

// What a getter returns while its cache is still empty; a later filling
// never writes to it.
const std::wstring& emptyPath() {
  static const std::wstring empty;
  return empty;
}

}  // namespace

bool File::exists(const wchar_t* path) { return path && os::fileExists(path); }

bool File::directoryExists(const wchar_t* path) {
  os::PathStatus status;
  return path && os::pathStatus(path, status) && status.directory;
}

bool File::isOfType(const wchar_t* path, const wchar_t* extension) {
  if (!path || !extension) return false;
  const std::wstring text = path;
  std::size_t nameStart = text.find_last_of(L"\\/");
  nameStart = nameStart == std::wstring::npos ? 0 : nameStart + 1;
  std::size_t dot = text.rfind(L'.');
  std::wstring found = dot == std::wstring::npos || dot < nameStart ? L"" : text.substr(dot + 1);
  std::wstring wanted = extension;
  Tools::stringToLower(found);
  Tools::stringToLower(wanted);
  return found == wanted;
}

void File::createTempFileName(std::wstring& path, const wchar_t* prefix) {
  std::wstring folder;
  os::userTempFolder(folder);
  path = os::createUniqueFile(folder, prefix ? prefix : L"obt");
}

void File::save(const wchar_t* path, const ByteArray& bytes) {
  if (!path) return;
  os::saveFile(path, bytes.getData(), static_cast<std::size_t>(bytes.getSize()));
}

bool File::load(const wchar_t* path, ByteArray& bytes, int maximumSize) {
  bytes.clear();
  if (!path) return false;
  return os::loadFile(path, [&](std::uint32_t& count, char*& buffer) {
    if (count == os::kInvalidFileSize) return false;
    const auto limit = static_cast<std::uint32_t>(maximumSize);
    if (count > limit) {
      Site(kSourceFile, L"File::load")
          .trace(SiteId::FileLoadTruncated,
                 L"File::load - file too large. Returning truncated file", 194, {L"File", path});
      count = limit;
    }
    // More than a ByteArray can hold is refused rather than cut to a wrong size.
    if (count > static_cast<std::uint32_t>(INT_MAX)) return false;
    const int size = static_cast<int>(count);
    bytes.ensure(size);
    buffer = bytes.getBuffer(size);
    return true;
  });
}

std::int64_t File::getLastModificationTime(const wchar_t* path) {
  os::PathStatus status;
  if (!path || !os::pathStatus(path, status)) return 0;
  return status.modified;
}

const std::wstring& File::getTempPath() {
  CachedFolder& cache = tempCache();
  if (cache.filled.load(std::memory_order_acquire)) return cache.path;
  std::size_t answer = 0;
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    if (cache.filled.load(std::memory_order_relaxed)) return cache.path;
    std::wstring folder;
    answer = os::userTempFolder(folder);
    if (answer > 0 && answer <= os::kMaxPath + 1) {
      cache.path = rooted::below(folder, kSuiteFolder);
      cache.filled.store(true, std::memory_order_release);
      return cache.path;
    }
  }
  // Traced outside the lock: a trace device may itself ask for the folder.
  if (answer > 0) {
    Site(kSourceFile, L"File::getTempPath")
        .trace(SiteId::TempPathTooLong, L"Temp path greater than MAX_PATH", 332);
  } else {
    Site(kSourceFile, L"File::getTempPath")
        .trace(SiteId::TempPathUnavailable, L"Unable to retrieve Temp path", 339);
  }
  return emptyPath();
}

void File::initTempPath(bool emptyIt) {
  const std::wstring& path = getTempPath();
  if (!folderMade(path)) {
    Site(kSourceFile, L"File::initTempPath")
        .throwSystemError(SiteId::TempDirCreateFailed, L"Unable to create Temp directory", 253,
                          path.c_str());
  }
  if (emptyIt) emptyDirectory(path.c_str());
}

void File::emptyDirectory(const wchar_t* folder) {
  if (!folder) return;
  const std::wstring pattern = rooted::below(folder, L"*.ico");
  // The shell's buffer holds MAX_PATH characters and needs two terminators.
  if (pattern.size() >= os::kMaxPath) return;
  if (os::deleteMatchingFiles(pattern) != 0) {
    Site(kSourceFile, L"File::emptyDirectory")
        .trace(SiteId::TempDirCleanFailed, L"Temp directory clean failed", 303);
  }
}

const std::wstring& File::getUsersLocalDataPath() {
  CachedFolder& cache = dataCache();
  if (cache.filled.load(std::memory_order_acquire)) return cache.path;
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    if (cache.filled.load(std::memory_order_relaxed)) return cache.path;
    std::wstring folder;
    if (os::userDataFolder(folder)) {
      cache.path = rooted::below(folder, kSuiteFolder);
      cache.filled.store(true, std::memory_order_release);
      return cache.path;
    }
  }
  Site(kSourceFile, L"File::getUsersLocalDataPath")
      .trace(SiteId::DataPathUnavailable, L"Unable to retrieve Data path", 378);
  // The temporary folder stands in; while it is unknown too, the next call
  // tries again.
  const std::wstring& temp = getTempPath();
  if (temp.empty()) return emptyPath();
  std::lock_guard<std::mutex> guard(cache.lock);
  if (!cache.filled.load(std::memory_order_relaxed)) {
    cache.path = temp;
    cache.filled.store(true, std::memory_order_release);
  }
  return cache.path;
}

bool File::initUsersLocalDataPath() {
  const std::wstring& path = getUsersLocalDataPath();
  if (!folderMade(path)) {
    Site(kSourceFile, L"File::initUsersLocalDataPath")
        .traceSystemError(SiteId::DataDirCreateFailed, L"Unable to create users data path", 407,
                          {L"Path", path.c_str()});
  }
  return true;
}

}  // namespace kw
