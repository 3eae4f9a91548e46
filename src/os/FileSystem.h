// Path limits and file-system queries.
#pragma once

#include <cstddef>
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
#else
// A leading '/' is the root and survives trimming.
inline constexpr bool kRootedPaths = true;
// PATH_MAX less the terminator: 259 would refuse ordinary deep paths here.
inline constexpr std::size_t kMaxPath = PATH_MAX - 1;
// A folder is bounded by the whole path, not by one component.
inline constexpr std::size_t kMaxFolder = kMaxPath;
#endif
// A file name or an extension (NAME_MAX; _MAX_FNAME less the terminator).
inline constexpr std::size_t kMaxComponent = 255;

// A regular file, not a directory, exists at path.
bool fileExists(const std::wstring& path);

}  // namespace kw::os
