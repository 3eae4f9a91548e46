// A per-user cache of debug files whose debug sections are stored
// uncompressed, so that libdw maps them instead of inflating every section
// into memory each time a process opens one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
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

// The folder `name` of the user's cache (below $XDG_CACHE_HOME/kwbase or
// ~/.cache/kwbase), made when missing; -1 when there is none or it is not
// the user's alone.
int openCacheFolder(const char* name);

// A 64-bit checksum of the bytes: against lost, zeroed or misplaced blocks,
// not against an adversary (the folder is the user's own).
std::uint64_t checksumOf(const void* bytes, std::size_t size);

// The name a writer gives its copy of `name` until the copy is complete: unique to this process
// and moment, and recognised as a temporary by pruneCacheFolder.
std::string temporaryNameFor(const std::string& name);

// Refreshes the time of the entry open on `fd`, last modified at `modified`, which places it in
// the least-recently-used order: at most once a minute, so that hits rarely write.
void markCacheEntryUsed(int fd, time_t modified);

// Removes the folder's entries unused for long and temporaries of writers
// that died, then the least recently used entries but `keep` while the
// folder holds more than its limit.
void pruneCacheFolder(int folder, const std::string& keep);

// Drops the pages of [start, start + size) that are mapped from a file and
// unchanged: they are read again from the page cache when touched. libdw
// reads a header in nearly every page of a large debug file to find its
// units, and those pages would otherwise stay resident for nothing.
void releaseFilePages(const void* start, std::size_t size);

}  // namespace kw::os
