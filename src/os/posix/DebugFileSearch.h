// A module's separate debug file, looked for in local folders only.
#pragma once

#include <elfutils/libdwfl.h>

#include <string>

namespace kw::os {

// A module's separate debug file, from local folders only: by build ID, then
// by its debug link next to it, in the relative folders of the search path
// and below its absolute ones. libdw's own search would end by asking the
// debug-info servers named in the environment: building an exception must
// never reach the network.
int findLocalDebuginfo(Dwfl_Module* module, void** userData, const char* moduleName,
                       Dwarf_Addr base, const char* fileName, const char* debuglink,
                       GElf_Word debuglinkCrc, char** debugFileName);

// What the module's symbols, files and lines depend on outside the process:
// its file and every file the debug-file search would look at for it, each
// with its identity (device, inode, size, times). Sessions that find the
// same state read the same things at the same offsets into the module.
// Empty for a module without a file of its own.
std::string debugSearchState(Dwfl_Module* module, const std::string& debuginfoPath);

}  // namespace kw::os
