// The settings store: the six registry calls, with their Win32 meaning and
// Windows error codes on both platforms.
#pragma once

#include <kw/Platform.h>

#include <cstdint>
#include <string>

#if !defined(_WIN32)
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#endif

namespace kw::os {

// The Windows codes the calls return.
inline constexpr long kRegOk = 0;                 // ERROR_SUCCESS
inline constexpr long kRegNotFound = 2;           // ERROR_FILE_NOT_FOUND
inline constexpr long kRegPathNotFound = 3;       // ERROR_PATH_NOT_FOUND
inline constexpr long kRegAccessDenied = 5;       // ERROR_ACCESS_DENIED
inline constexpr long kRegInvalidHandle = 6;      // ERROR_INVALID_HANDLE
inline constexpr long kRegOutOfMemory = 14;       // ERROR_OUTOFMEMORY
inline constexpr long kRegInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr long kRegDiskFull = 112;         // ERROR_DISK_FULL
inline constexpr long kRegBadPathName = 161;      // ERROR_BAD_PATHNAME
inline constexpr long kRegBusy = 170;             // ERROR_BUSY
inline constexpr long kRegMoreData = 234;         // ERROR_MORE_DATA
inline constexpr long kRegCorrupt = 1009;         // ERROR_BADDB
inline constexpr long kRegCantOpen = 1011;        // ERROR_CANTOPEN
inline constexpr long kRegKeyDeleted = 1018;      // ERROR_KEY_DELETED
inline constexpr long kRegIoFailed = 1016;        // ERROR_REGISTRY_IO_FAILED

// RegOpenKeyExW: an existing key; an empty sub-key opens `root` again.
long regOpenKey(HKEY root, const std::wstring& subKey, unsigned access, HKEY& out);
// RegCreateKeyExW: opens the key, creating every missing key on the path.
long regCreateKey(HKEY root, const std::wstring& subKey, unsigned access, HKEY& out);
// RegQueryValueExW: null data asks for type and size only; a buffer smaller
// than the value gives kRegMoreData and the size needed. A null or empty
// name is the key's unnamed value.
long regQueryValue(HKEY key, const wchar_t* name, unsigned* type, unsigned char* data,
                   unsigned* byteCount);
// RegSetValueExW: replaces any value of that name.
long regSetValue(HKEY key, const wchar_t* name, unsigned type, const unsigned char* data,
                 unsigned byteCount);
// RegDeleteValueW.
long regDeleteValue(HKEY key, const wchar_t* name);
// RegCloseKey: closing a predefined root is a no-op, as on Windows.
long regCloseKey(HKEY key);

// A number that differs from the last one given whenever the store of a root
// key may have changed since, in this process or another; false when the
// store cannot be watched and every read must go to it.
bool regChangeStamp(HKEY root, std::uint64_t& stamp);

}  // namespace kw::os
