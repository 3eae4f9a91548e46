// Files and folders on Windows: attributes, GetTempPath and the local application-data folder,
// unique files, loading and saving whole files. Twin: src/os/posix/FileSystem.cpp.
#include "os/FileSystem.h"

#include <windows.h>
// windows.h first: the shell header needs its types.
#include <shellapi.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <cwchar>
#include <vector>

namespace kw::os {

namespace {

// Closes a file handle at the end of the scope.
struct FileCloser {
  HANDLE file;
  ~FileCloser() { CloseHandle(file); }
};

}  // namespace

bool pathStatus(const std::wstring& path, PathStatus& status) {
  struct _stat64i32 info;
  if (_wstat64i32(path.c_str(), &info) != 0) return false;
  status.regularFile = (info.st_mode & _S_IFREG) != 0;
  status.directory = (info.st_mode & _S_IFDIR) != 0;
  status.modified = static_cast<std::int64_t>(info.st_mtime);
  return true;
}

std::size_t userTempFolder(std::wstring& folder) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD answer = GetTempPathW(MAX_PATH, buffer);
  folder = answer > 0 && answer <= MAX_PATH ? buffer : L"";
  return answer;
}

bool userDataFolder(std::wstring& folder) {
  wchar_t buffer[MAX_PATH] = {};
  HRESULT result = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                    SHGFP_TYPE_CURRENT, buffer);
  if (FAILED(result)) {
    // The answer carries the Win32 code of a failed system call.
    SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : result);
    return false;
  }
  folder = buffer;
  return true;
}

bool createFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr); }

std::wstring createUniqueFile(const std::wstring& folder, const std::wstring& prefix) {
  wchar_t buffer[MAX_PATH] = {};
  if (!GetTempFileNameW(folder.c_str(), prefix.c_str(), 0, buffer)) return std::wstring();
  return buffer;
}

int deleteMatchingFiles(const std::wstring& pattern) {
  // The shell takes a list of names, each NUL-terminated, ending in an empty one.
  std::vector<wchar_t> from(pattern.begin(), pattern.end());
  from.resize(from.size() + 2, L'\0');
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.data();
  // No error dialog either: a background clean-up must not wait for a user.
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  return SHFileOperationW(&operation);
}

void saveFile(const std::wstring& path, const char* data, std::size_t size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FileCloser closer{file};
  DWORD written = 0;
  WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
}

bool loadFile(const std::wstring& path, const LoadRoom& room) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileCloser closer{file};
  std::uint32_t count = GetFileSize(file, nullptr);
  char* buffer = nullptr;
  if (!room(count, buffer)) return false;
  DWORD read = 0;
  ReadFile(file, buffer, count, &read, nullptr);
  return true;
}

}  // namespace kw::os
