// System error codes and their text.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw::os {

// The calling thread's last system error (GetLastError / errno).
int lastError();
void setLastError(int code);

// How the OS layer reports a failure: through the thread's last error, as
// the system calls do.

// Sets the last error and returns `result`: `return failing(EINVAL, nullptr);`.
template <typename Result>
Result failing(int code, Result result) {
  setLastError(code);
  return result;
}

// For calls that return their error instead of setting it (pthread_*,
// posix_spawn*, SetSecurityInfo): a failure becomes the last error.
inline bool succeeded(int status) {
  if (status != 0) setLastError(status);
  return status == 0;
}

// Cleans up after a failure without losing its last error.
template <typename Cleanup>
void keepingLastError(Cleanup&& cleanup) {
  const int error = lastError();
  cleanup();
  setLastError(error);
}

// The platform's own text for a code; false when it has none.
bool systemErrorText(int code, std::wstring& text);

}  // namespace kw::os
