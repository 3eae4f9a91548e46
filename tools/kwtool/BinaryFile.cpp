// Whole-file reads and writes by wide path, with the reason on failure.
#include "kwtool/BinaryFile.h"

#include <kw/Tools.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

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

bool BinaryFile::open(const std::wstring& path, std::ifstream& file, std::wstring& error) {
  errno = 0;
  file.open(toPath(path), std::ios::binary);
  if (!file) {
    error = failure(L"cannot open", path);
    return false;
  }
  return true;
}

BinaryFile::Result BinaryFile::read(const std::wstring& path, std::string& bytes,
                                    std::int64_t maxBytes, std::wstring& error) {
  std::ifstream file;
  if (!open(path, file, error)) return Failed;
  const std::wstring tooLarge = path + L" holds more than " + std::to_wstring(maxBytes) + L" bytes";
  // A regular file says its size; a device or a pipe is read no further
  // than the limit.
  std::error_code sizeError;
  const auto size = std::filesystem::file_size(toPath(path), sizeError);
  if (!sizeError && size > static_cast<std::uintmax_t>(maxBytes)) {
    error = tooLarge;
    return TooLarge;
  }
  bytes.clear();
  std::string chunk(64 * 1024, '\0');
  while (file) {
    file.read(&chunk[0], static_cast<std::streamsize>(chunk.size()));
    bytes.append(chunk, 0, static_cast<std::size_t>(file.gcount()));
    if (static_cast<std::int64_t>(bytes.size()) > maxBytes) {
      error = tooLarge;
      return TooLarge;
    }
  }
  if (file.bad()) {
    error = failure(L"cannot read", path);
    return Failed;
  }
  return Read;
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
