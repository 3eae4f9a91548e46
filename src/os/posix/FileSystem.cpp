#include "os/FileSystem.h"

#include <sys/stat.h>

#include "Utf16.h"

namespace kw::os {

bool fileExists(const std::wstring& path) {
  struct stat status;
  if (::stat(utf16::toUtf8(path).c_str(), &status) != 0) return false;
  return S_ISREG(status.st_mode);
}

}  // namespace kw::os
