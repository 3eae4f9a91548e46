// Platform: the export macro, and the Windows names the interface uses.
#pragma once

#include <kw/Win32Names.h>

#if defined(_WIN32)
#if defined(KW_STATIC)
#define KW_API
#elif defined(KW_BUILDING_DLL)
#define KW_API __declspec(dllexport)
#else
#define KW_API __declspec(dllimport)
#endif
#else
#define KW_API __attribute__((visibility("default")))
#endif
