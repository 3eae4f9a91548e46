#include "kwtool/BinaryFile.h"

#include <kw/Tools.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kwtool {

namespace {

std::filesystem::path toPath(const std::wstring& path) {
  return std::filesystem::u8path(kw::Tools::narrowWideString(path));
}

std::wstring failure(const wchar_t* what, const std::wstring& path) {
  int code = errno;
  std::wstring text = std::wstring(what) + L" " + path;
  if (code != 0) text += L": " + kw::Tools::widenNarrowString(std::strerror(code));
  return text;
}

}  // namespace

bool BinaryFile::read(const std::wstring& path, std::string& bytes, std::wstring& error) {
  errno = 0;
  std::ifstream file(toPath(path), std::ios::binary);
  if (!file) {
    error = failure(L"cannot open", path);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    error = failure(L"cannot read", path);
    return false;
  }
  return true;
}

bool BinaryFile::write(const std::wstring& path, const std::string& bytes, std::wstring& error) {
  errno = 0;
  std::ofstream file(toPath(path), std::ios::binary | std::ios::trunc);
  if (!file) {
    error = failure(L"cannot create", path);
    return false;
  }
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    error = failure(L"cannot write", path);
    return false;
  }
  return true;
}

}  // namespace kwtool
