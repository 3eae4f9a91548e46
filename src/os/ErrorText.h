// System error codes and their text.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw::os {

// The calling thread's last system error (GetLastError / errno).
// Exported, unlike most of the OS layer, so that tests can stage an error.
KW_API int lastError();
KW_API void setLastError(int code);

// The platform's own text for a code; false when it has none.
bool systemErrorText(int code, std::wstring& text);

}  // namespace kw::os
