// Paths and files on Linux: stat, the XDG folders, descriptors. Twin of
// win32/FileSystem.cpp.
#include "os/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Utf16.h"
#include "os/ErrorText.h"

namespace kw::os {

namespace {

// Closes a descriptor at the end of the scope, keeping errno.
struct DescriptorCloser {
  int fd;
  ~DescriptorCloser() {
    keepingLastError([this] { ::close(fd); });
  }
};

std::string narrow(const std::wstring& path) { return utf16::toUtf8(path); }

std::wstring joined(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || folder.back() == L'/') return folder + name;
  return folder + L'/' + name;
}

// An environment value that names an absolute path, else empty (the XDG
// rules ignore relative ones).
std::string absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? value : "";
}

std::string homeFolder() {
  std::string home = absoluteFromEnvironment("HOME");
  if (!home.empty()) return home;
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return "";
}

// mkdir -p, private to the user as the XDG folders are.
bool createFolders(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) || failing(ENOTDIR, false);
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !createFolders(path.substr(0, slash))) {
    return false;
  }
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool pathStatus(const std::wstring& path, PathStatus& status) {
  struct stat info;
  if (::stat(narrow(path).c_str(), &info) != 0) return false;
  status.regularFile = S_ISREG(info.st_mode);
  status.directory = S_ISDIR(info.st_mode);
  status.modified = static_cast<std::int64_t>(info.st_mtime);
  return true;
}

std::size_t userTempFolder(std::wstring& folder) {
  const char* value = std::getenv("TMPDIR");
  std::wstring answer = utf16::fromUtf8(value && *value ? value : "/tmp");
  folder.clear();
  // Sized as the Windows call answers: with the terminator when too long.
  if (answer.size() > kMaxPath) return answer.size() + 1;
  folder = answer;
  return folder.size();
}

bool userDataFolder(std::wstring& folder) {
  std::string data = absoluteFromEnvironment("XDG_DATA_HOME");
  if (data.empty()) {
    std::string home = homeFolder();
    if (home.empty()) return failing(ENOENT, false);
    data = home + "/.local/share";
  }
  if (!createFolders(data)) return false;
  folder = utf16::fromUtf8(data);
  return true;
}

bool createFolder(const std::wstring& path) { return ::mkdir(narrow(path).c_str(), 0777) == 0; }

std::wstring createUniqueFile(const std::wstring& folder, const std::wstring& prefix) {
  // As GetTempFileNameW: up to three characters of the prefix, four hex
  // digits, ".tmp"; the numbers are tried in turn from a varying start.
  const std::wstring stem = joined(folder, prefix.substr(0, 3));
  unsigned start = static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid());
  for (unsigned i = 0; i < 0xFFFF; ++i) {
    unsigned number = (start + i) % 0xFFFF + 1;
    wchar_t digits[8];
    std::swprintf(digits, 8, L"%X", number);
    std::wstring path = stem + digits + L".tmp";
    int fd = ::open(narrow(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) break;
  }
  return std::wstring();
}

int deleteMatchingFiles(const std::wstring& pattern) {
  std::size_t slash = pattern.find_last_of(L'/');
  std::string folder = narrow(slash == std::wstring::npos ? L"./" : pattern.substr(0, slash + 1));
  std::string names = narrow(slash == std::wstring::npos ? pattern : pattern.substr(slash + 1));
  DIR* directory = ::opendir(folder.c_str());
  if (!directory) return errno;
  int result = 0;
  while (struct dirent* entry = ::readdir(directory)) {
    if (::fnmatch(names.c_str(), entry->d_name, FNM_CASEFOLD) != 0) continue;
    std::string path = folder + entry->d_name;
    struct stat info;
    // Folders stay, even when their names match.
    if (::lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
    if (::unlink(path.c_str()) != 0 && result == 0) result = errno;
  }
  ::closedir(directory);
  return result;
}

void saveFile(const std::wstring& path, const char* data, std::size_t size) {
  int fd = ::open(narrow(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  DescriptorCloser closer{fd};
  writeAll(fd, data, size);
}

bool loadFile(const std::wstring& path, const LoadRoom& room) {
  int fd = ::open(narrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  DescriptorCloser closer{fd};
  struct stat info;
  std::uint32_t count = kInvalidFileSize;
  if (::fstat(fd, &info) == 0) {
    // A folder opens here, but not on Windows.
    if (S_ISDIR(info.st_mode)) return failing(EISDIR, false);
    count = static_cast<std::uint32_t>(info.st_size);
  }
  char* buffer = nullptr;
  if (!room(count, buffer)) return false;
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kw::os
