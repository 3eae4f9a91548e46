#include "os/Identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "Utf16.h"

namespace kw::os {

bool samUserName(std::wstring& name) {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;

  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int status = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
  if (!found) {
    errno = status ? status : ENOENT;
    return false;
  }
  name = utf16::fromUtf8(host) + L"\\" + utf16::fromUtf8(found->pw_name);
  return true;
}

}  // namespace kw::os
