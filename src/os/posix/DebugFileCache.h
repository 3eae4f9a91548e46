// A per-user cache of debug files whose debug sections are stored
// uncompressed, so that libdw maps them instead of inflating every section
// into memory each time a process opens one.
#pragma once

#include <string>

namespace kw::os {

// The build ID of the ELF file open on `fd`, in lowercase hex; empty when it
// has none.
std::string elfBuildId(int fd);

// The descriptor of an uncompressed copy of the debug file open on `fd`
// (which is then closed), from the cache or made into it now; `fd` itself
// when the file has no compressed sections or the cache cannot be used.
int uncompressedDebugFile(int fd);

}  // namespace kw::os
