// File: static file-system operations and the suite's temporary and data folders.
#pragma once

#include <kw/ByteArray.h>
#include <kw/Platform.h>

#include <cstdint>
#include <string>

namespace kw {

// Static file-system operations and the suite's two working folders: a
// temporary one and a per-user data one, each "Kestrelwright" below the
// user's own folder of that kind.
class KW_API File {
 public:
  // A regular file (not a directory) is at the path; false for null.
  static bool exists(const wchar_t* path);
  // A directory is at the path; false for null.
  static bool directoryExists(const wchar_t* path);
  // The path's extension (from the last dot of its last component), without
  // its dot, equals `extension` ignoring ASCII case: "log", never ".log".
  static bool isOfType(const wchar_t* path, const wchar_t* extension);
  // A new empty file in the user's temporary folder; `prefix` null is "obt".
  static void createTempFileName(std::wstring& path, const wchar_t* prefix);
  // Writes the bytes as the whole file, replacing it; failures are not reported.
  static void save(const wchar_t* path, const ByteArray& bytes);
  // At most `maximumSize` bytes (compared unsigned: a negative one sets no
  // limit); a larger file is cut and traced as SiteId::FileLoadTruncated. False when the file
  // cannot be opened or is larger than a ByteArray can hold.
  static bool load(const wchar_t* path, ByteArray& bytes, int maximumSize);
  // Seconds since 1970-01-01 00:00:00 UTC; 0 on failure.
  static std::int64_t getLastModificationTime(const wchar_t* path);

  // The cached folders, without a trailing separator. The temporary one
  // stays empty after a failure, and the next call tries again; the data one
  // falls back to the temporary one.
  static const std::wstring& getTempPath();
  // Creates the temporary folder when missing; throws SystemException SiteId::TempDirCreateFailed.
  static void initTempPath(bool emptyIt);
  // Deletes the folder's icon files.
  static void emptyDirectory(const wchar_t* folder);
  // The cached per-user data folder.
  static const std::wstring& getUsersLocalDataPath();
  // Creates the data folder when missing; failures are traced. Always true.
  static bool initUsersLocalDataPath();

  File() = delete;
};

}  // namespace kw
