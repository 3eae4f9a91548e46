// User, machine and executable on Windows: GetUserNameEx, NetWkstaGetInfo, GetModuleFileName.
// Twin: src/os/posix/Identity.cpp.
#include "os/Identity.h"

#include <windows.h>
#define SECURITY_WIN32
#include <lm.h>
#include <security.h>

#include <vector>

namespace kw::os {

bool samUserName(std::wstring& name) {
  std::vector<wchar_t> buffer(2048);
  ULONG size = static_cast<ULONG>(buffer.size());
  if (!GetUserNameExW(NameSamCompatible, buffer.data(), &size)) return false;
  name.assign(buffer.data());
  return true;
}

bool workstationNames(std::wstring& machine, std::wstring& domain) {
  LPBYTE buffer = nullptr;
  NET_API_STATUS status = NetWkstaGetInfo(nullptr, 100, &buffer);
  bool found = status == NERR_Success && buffer;
  if (found) {
    const auto* info = reinterpret_cast<const WKSTA_INFO_100*>(buffer);
    machine = info->wki100_computername ? info->wki100_computername : L"";
    domain = info->wki100_langroup ? info->wki100_langroup : L"";
  }
  if (buffer) NetApiBufferFree(buffer);
  return found;
}

bool systemAccountKnown(bool&) { return false; }

std::wstring executablePath() {
  wchar_t buffer[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return buffer;
}

}  // namespace kw::os
