// Export macro and the few Windows types that appear in the public API.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#if defined(KW_STATIC)
#define KW_API
#elif defined(KW_BUILDING_DLL)
#define KW_API __declspec(dllexport)
#else
#define KW_API __declspec(dllimport)
#endif
#else
#include <cstdint>
#define KW_API __attribute__((visibility("default")))

// A system object handle, and a top-level window (an X11 window ID on
// Linux, where there is a display).
typedef void* HANDLE;
struct HWND__;
typedef HWND__* HWND;

// Registry root handles, with the values they have on Windows.
struct HKEY__;
typedef HKEY__* HKEY;
#define HKEY_CLASSES_ROOT ((HKEY)(std::intptr_t)(-0x7FFFFFFF - 1))
#define HKEY_CURRENT_USER ((HKEY)(std::intptr_t)(-0x7FFFFFFF))
#define HKEY_LOCAL_MACHINE ((HKEY)(std::intptr_t)(-0x7FFFFFFE))
#define HKEY_USERS ((HKEY)(std::intptr_t)(-0x7FFFFFFD))

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
