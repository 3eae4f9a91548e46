// Call-stack text for exceptions.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw::os {

// The calling thread's stack as text; empty when it cannot be captured.
std::wstring captureStack();
// The stack of a fault, walked from its context record.
std::wstring captureStack(EXCEPTION_POINTERS* pointers);

}  // namespace kw::os
