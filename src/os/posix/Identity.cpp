// Who runs the process on Linux: the login name, host and NIS domain. Twin of
// win32/Identity.cpp.
#include "os/Identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "Utf16.h"
#include "os/ErrorText.h"

namespace kw::os {

namespace {

bool hostName(std::string& name) {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  name = host;
  return true;
}

}  // namespace

bool samUserName(std::wstring& name) {
  std::string host;
  if (!hostName(host)) return false;

  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int status = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
  if (!found) return failing(status ? status : ENOENT, false);
  name = utf16::fromUtf8(host) + L"\\" + utf16::fromUtf8(found->pw_name);
  return true;
}

bool workstationNames(std::wstring& machine, std::wstring& domain) {
  std::string host;
  if (!hostName(host) || host.empty()) return false;
  machine = utf16::fromUtf8(host);
  // glibc answers "(none)" when no NIS domain was ever set.
  char nis[HOST_NAME_MAX + 1] = {};
  if (getdomainname(nis, sizeof nis - 1) == 0 && nis[0] && std::strcmp(nis, "(none)") != 0) {
    domain = utf16::fromUtf8(nis);
  } else {
    domain = machine;
  }
  return true;
}

bool systemAccountKnown(bool& system) {
  system = geteuid() == 0;
  return true;
}

std::wstring executablePath() {
  char buffer[PATH_MAX] = {};
  if (readlink("/proc/self/exe", buffer, sizeof buffer - 1) < 0) return std::wstring();
  return utf16::fromUtf8(buffer);
}

}  // namespace kw::os
