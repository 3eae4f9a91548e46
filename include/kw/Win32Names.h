// Win32Names: the Windows names the interface uses, defined on Linux.
//
// On Windows they are <windows.h>'s own and this header defines nothing
// else. On Linux they are defined here and nowhere else, with the values
// they have on Windows, so that code written against the interface compiles
// unchanged on both. Every public header brings them (through Platform.h),
// as every one brings <windows.h> on Windows.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <ucontext.h>

#include <cstdint>

// A system object handle.
typedef void* HANDLE;

// A top-level window: an X11 window ID, where there is a display.
struct HWND__;
typedef HWND__* HWND;

// A registry key; the roots have the values they have on Windows.
struct HKEY__;
typedef HKEY__* HKEY;
#define HKEY_CLASSES_ROOT ((HKEY)(std::intptr_t)(-0x7FFFFFFF - 1))
#define HKEY_CURRENT_USER ((HKEY)(std::intptr_t)(-0x7FFFFFFF))
#define HKEY_LOCAL_MACHINE ((HKEY)(std::intptr_t)(-0x7FFFFFFE))
#define HKEY_USERS ((HKEY)(std::intptr_t)(-0x7FFFFFFD))

// A wait with no time limit. A program may have defined it already.
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif

// A thread's register state: the signal context type, which is also what a
// translated fault's ContextRecord points at.
typedef ucontext_t CONTEXT;

// The fault record a translated hardware exception carries; ContextRecord
// points at the signal's ucontext_t.
#define EXCEPTION_MAXIMUM_PARAMETERS 15
typedef struct _EXCEPTION_RECORD {
  std::uint32_t ExceptionCode;
  std::uint32_t ExceptionFlags;
  struct _EXCEPTION_RECORD* ExceptionRecord;
  void* ExceptionAddress;
  std::uint32_t NumberParameters;
  std::uintptr_t ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

typedef struct _EXCEPTION_POINTERS {
  PEXCEPTION_RECORD ExceptionRecord;
  void* ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;
#endif
