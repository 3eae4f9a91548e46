// A per-user cache of debug files whose debug sections are stored
// uncompressed, so that libdw maps them instead of inflating every section
// into memory each time a process opens one.
#pragma once

#include <cstddef>
#include <string>

namespace kw::os {

// Bytes as lowercase hex, the way build IDs name files.
std::string hexText(const void* bytes, std::size_t length);

// The descriptor of an uncompressed copy of the debug file open on `fd`
// (which is then closed), from the cache or made into it now; `fd` itself
// when the file has no compressed sections or the cache cannot be used.
// With `expectedId` given, a file of another build ID is closed and -1 is
// returned.
int uncompressedDebugFile(int fd, const std::string* expectedId = nullptr);

// Drops the pages of [start, start + size) that are mapped from a file and
// unchanged: they are read again from the page cache when touched. libdw
// reads a header in nearly every page of a large debug file to find its
// units, and those pages would otherwise stay resident for nothing.
void releaseFilePages(const void* start, std::size_t size);

}  // namespace kw::os
