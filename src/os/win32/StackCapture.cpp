#include "os/StackCapture.h"

namespace kw::os {

// Stack walking is not wired in yet; exceptions carry an empty trace.
std::wstring captureStack() { return std::wstring(); }

std::wstring captureStack(EXCEPTION_POINTERS*) { return std::wstring(); }

}  // namespace kw::os
