// Path limits and file-system queries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#if !defined(_WIN32)
#include <climits>
#endif

namespace kw::os {

#if defined(_WIN32)
// Paths start at a drive; a leading separator is trimmed away.
inline constexpr bool kRootedPaths = false;
// MAX_PATH less the terminator.
inline constexpr std::size_t kMaxPath = 259;
// _MAX_DIR less the terminator.
inline constexpr std::size_t kMaxFolder = 255;
// What joins a folder and a name.
inline constexpr wchar_t kSeparator = L'\\';
#else
// A leading '/' is the root and survives trimming.
inline constexpr bool kRootedPaths = true;
// PATH_MAX less the terminator: 259 would refuse ordinary deep paths here.
inline constexpr std::size_t kMaxPath = PATH_MAX - 1;
// A folder is bounded by the whole path, not by one component.
inline constexpr std::size_t kMaxFolder = kMaxPath;
inline constexpr wchar_t kSeparator = L'/';
#endif
// A file name or an extension (NAME_MAX; _MAX_FNAME less the terminator).
inline constexpr std::size_t kMaxComponent = 255;

// What a status query says of a path.
struct PathStatus {
  bool regularFile = false;
  bool directory = false;
  // Seconds since 1970-01-01 00:00:00 UTC.
  std::int64_t modified = 0;
};

// False when the path cannot be queried.
bool pathStatus(const std::wstring& path, PathStatus& status);

// A regular file, not a directory, exists at path.
inline bool fileExists(const std::wstring& path) {
  PathStatus status;
  return pathStatus(path, status) && status.regularFile;
}

// The user's temporary folder as the platform names it. On Linux it is the
// user's alone, as on Windows: $TMPDIR (or /tmp) when it is, else a folder
// "Kestrelwright-<uid>" of the user's own in it, else $XDG_RUNTIME_DIR/tmp;
// a place another user owns or may write is never given. Answers like
// GetTempPathW with a buffer of kMaxPath + 1: the length of `folder`, 0 on
// failure, or more than kMaxPath + 1 when it is too long (then `folder` is
// left empty).
std::size_t userTempFolder(std::wstring& folder);

// The user's local application-data folder, created when missing (Linux:
// $XDG_DATA_HOME, or ~/.local/share). False on failure, with the reason as
// the thread's last system error.
bool userDataFolder(std::wstring& folder);

// Creates the last level of the path only. False on failure, with the
// reason as the thread's last system error.
bool createFolder(const std::wstring& path);

// Creates a new empty file in `folder`, named after the first three
// characters of `prefix` and a hexadecimal number; its full path, or empty
// on failure.
std::wstring createUniqueFile(const std::wstring& folder, const std::wstring& prefix);

// Deletes, permanently and without asking, the files that the last
// component of `pattern` (wildcards * and ?, ASCII case folded) matches in
// the folder before it. 0 on success, else the platform's error code.
int deleteMatchingFiles(const std::wstring& pattern);

// Replaces the file at path with the bytes; nothing is reported.
void saveFile(const std::wstring& path, const char* data, std::size_t size);

// The answer of loadFile's size query when the size cannot be read.
inline constexpr std::uint32_t kInvalidFileSize = 0xFFFFFFFFu;

// Given the low 32 bits of a file's size (kInvalidFileSize when unknown),
// sets the buffer for the bytes and may lower the count; false stops the load.
using LoadRoom = std::function<bool(std::uint32_t& count, char*& buffer)>;

// Opens the regular file at path for reading (others may read it too),
// asks `room` where to put its bytes and reads up to that many. False when
// the file cannot be opened or `room` refuses. The file is closed before
// it returns.
bool loadFile(const std::wstring& path, const LoadRoom& room);

}  // namespace kw::os
