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
#include "os/posix/OwnedFile.h"

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

template <typename Text>
Text joined(const Text& folder, const Text& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + typename Text::value_type('/') + name;
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

// The temporary folder of this user alone, as Windows gives every user one:
// `base` itself when it is the user's alone; in a shared one, a folder of
// the user's own made there, provided that nobody else can rename it (the
// shared folder is sticky and root's or ours); else a folder "tmp" in
// $XDG_RUNTIME_DIR when that is the user's alone. Empty when none fits.
std::string privateTempFolder(const std::string& base) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A missing folder holds nothing for anyone: making the suite's folder in
  // it fails, as on Windows.
  if (fd < 0) return errno == ENOENT ? base : std::string();
  DescriptorCloser closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0) return std::string();
  if (ownedPrivately(info)) return base;
  const bool steady = (info.st_mode & S_ISVTX) && (info.st_uid == 0 || info.st_uid == geteuid());
  if (steady) {
    const std::string name = "Kestrelwright-" + std::to_string(geteuid());
    int own = openPrivateFolder(fd, name.c_str(), true);
    if (own >= 0) {
      // Not even the names of our files are for others to read.
      ::fchmod(own, 0700);
      ::close(own);
      return joined(base, name);
    }
  }
  // A folder of its own there: the runtime folder itself holds the suite's
  // named objects.
  const std::string runtime = absoluteFromEnvironment("XDG_RUNTIME_DIR");
  int parent = runtime.empty() ? -1 : openPrivateFolder(AT_FDCWD, runtime.c_str(), false);
  if (parent < 0) return failing(EACCES, std::string());
  int own = openPrivateFolder(parent, "tmp", true);
  ::close(parent);
  if (own < 0) return std::string();
  ::close(own);
  return joined(runtime, std::string("tmp"));
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
  const std::string base = value && *value ? value : "/tmp";
  folder.clear();
  // Sized as the Windows call answers: with the terminator when too long.
  if (base.size() > kMaxPath) return base.size() + 1;
  const std::string found = privateTempFolder(base);
  if (found.empty()) return 0;
  std::wstring answer = utf16::fromUtf8(found);
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
  // Never the current folder: an empty one means there is no private place.
  if (folder.empty()) return failing(ENOENT, std::wstring());
  unsigned start = static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid());
  for (unsigned i = 0; i < 0xFFFF; ++i) {
    unsigned number = (start + i) % 0xFFFF + 1;
    wchar_t digits[8];
    std::swprintf(digits, 8, L"%X", number);
    std::wstring path = stem + digits + L".tmp";
    int fd =
        ::open(narrow(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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
