// Dynamic libraries: loading by path, finding an export, unloading.
#pragma once

#include <cstdint>
#include <string>

namespace kw::os {

#if defined(_WIN32)
inline constexpr wchar_t kDefaultInstallFolder[] = L"C:\\Program Files\\Kestrelwright\\";
inline constexpr wchar_t kLibraryExtension[] = L"dll";
#else
inline constexpr wchar_t kDefaultInstallFolder[] = L"/opt/Kestrelwright/";
inline constexpr wchar_t kLibraryExtension[] = L"so";
#endif

// A loaded library, of a type of its own so that no other handle passes for
// it (its value is the loader's own handle).
struct LibraryObject;
using LibraryHandle = LibraryObject*;
// A self-registration entry point: no arguments, a 32-bit status whose
// negative values mean failure.
using EntryPoint = std::int32_t (*)();

// The process's current directory; false when it cannot be changed.
bool setCurrentFolder(const std::wstring& folder);
// Null on failure, with the last error set (also on Linux, where the loader
// reports in text: a missing or unreadable file keeps the error of the
// file's check, anything else is ENOEXEC).
LibraryHandle loadLibrary(const std::wstring& path);
// Null when there is no such export, with the last error set (ENOSYS on
// Linux).
EntryPoint findEntryPoint(LibraryHandle library, const char* name);
void unloadLibrary(LibraryHandle library);

}  // namespace kw::os
