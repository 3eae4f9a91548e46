// The trace file: opened for one append at a time, shared with nobody.
#pragma once

#include <kw/Platform.h>

#include <cstddef>
#include <string>

namespace kw::os {

// Opens or creates the file for writing at its end; null when it cannot be
// opened or another writer has it open.
HANDLE traceFileOpen(const std::wstring& path);
// Appends the code units as UTF-16LE.
void traceFileWrite(HANDLE file, const wchar_t* text, std::size_t length);
void traceFileClose(HANDLE file);

}  // namespace kw::os
