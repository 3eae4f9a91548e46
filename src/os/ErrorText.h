// System error codes and their text.
#pragma once

#include <string>

namespace kw::os {

// The calling thread's last system error (GetLastError / errno).
int lastError();
void setLastError(int code);

// The platform's own text for a code; false when it has none.
bool systemErrorText(int code, std::wstring& text);

}  // namespace kw::os
