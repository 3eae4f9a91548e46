// The trace file: opened for one append at a time, shared with nobody.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/OwnedHandle.h"

namespace kw::os {

// A descriptor on Linux, the HANDLE's value on Windows: a type of its own, so
// that it passes for no other number, and -1 (INVALID_HANDLE_VALUE) for none.
enum class TraceFileHandle : std::intptr_t { None = -1 };

void traceFileClose(TraceFileHandle file);

struct TraceFileTraits {
  using Handle = TraceFileHandle;
  static constexpr Handle invalid() { return TraceFileHandle::None; }
  static void close(Handle file) { traceFileClose(file); }
};

using OwnedTraceFile = OwnedHandle<TraceFileTraits>;

// Opens or creates the file for writing at its end; none when it cannot be
// opened or another writer has it open.
OwnedTraceFile traceFileOpen(const std::wstring& path);
// Appends the code units as UTF-16LE.
void traceFileWrite(TraceFileHandle file, const wchar_t* text, std::size_t length);

}  // namespace kw::os
