// A module's separate debug file, looked for in local folders only.
#pragma once

#include <elfutils/libdwfl.h>

namespace kw::os {

// A module's separate debug file, from local folders only: by build ID, then
// by its debug link next to it, in the relative folders of the search path
// and below its absolute ones. libdw's own search would end by asking the
// debug-info servers named in the environment: building an exception must
// never reach the network.
int findLocalDebuginfo(Dwfl_Module* module, void** userData, const char* moduleName,
                       Dwarf_Addr base, const char* fileName, const char* debuglink,
                       GElf_Word debuglinkCrc, char** debugFileName);

}  // namespace kw::os
