// Handlers that swallow every exception must still let a thread's forced
// unwinding pass (glibc ends a cancelled thread by unwinding its stack).
#pragma once

#if defined(__GLIBC__) || defined(__linux__)
#include <cxxabi.h>
#define KW_PASS_FORCED_UNWIND     \
  catch (abi::__forced_unwind&) { \
    throw;                        \
  }
#else
#define KW_PASS_FORCED_UNWIND
#endif
