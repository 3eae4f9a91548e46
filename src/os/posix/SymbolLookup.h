// What a frame's address stands for: symbol, source line and module.
#pragma once

#include <elfutils/libdwfl.h>

#include <string>

#include "os/StackWalking.h"

namespace kw::os {

// The file name of a path.
std::string baseName(const std::string& path);

// Looks up the frame at `address` (its ip, or the call before a return
// address), once per frame address, kind of address and session.
void lookUpCached(SymbolSession& session, FrameReport& frame, Dwarf_Addr address);

}  // namespace kw::os
