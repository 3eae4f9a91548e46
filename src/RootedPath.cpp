// Trimming and joining of paths that begin at a leading '/' root, where the platform has one.
#include "RootedPath.h"

#include <kw/FileName.h>

#include "os/FileSystem.h"

namespace kw::rooted {

bool isRooted(const std::wstring& text) {
  return os::kRootedPaths && !text.empty() && text[0] == L'/';
}

void trim(std::wstring& path) {
  if (!isRooted(path)) {
    FileName::cleanPath(path);
    return;
  }
  const std::size_t first = path.find_first_not_of(L'/');
  // cleanPath trims both ends; a mark that it never trims keeps the front.
  std::wstring rest = L"x" + (first == std::wstring::npos ? std::wstring() : path.substr(first));
  FileName::cleanPath(rest);
  path = L"/" + rest.substr(1);
}

std::wstring below(const std::wstring& folder, const std::wstring& name) {
  std::wstring path = folder;
  trim(path);
  if (path.empty() || path.back() != os::kSeparator) path += os::kSeparator;
  return path + name;
}

}  // namespace kw::rooted
