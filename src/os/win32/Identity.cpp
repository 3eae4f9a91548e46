#include "os/Identity.h"

#include <windows.h>
#define SECURITY_WIN32
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

}  // namespace kw::os
