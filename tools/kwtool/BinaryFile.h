#pragma once

#include <string>

namespace kwtool {

// Whole-file reads and writes by wide path; "-" is not special here.
class BinaryFile {
 public:
  // On failure `error` says why, with the path.
  static bool read(const std::wstring& path, std::string& bytes, std::wstring& error);
  static bool write(const std::wstring& path, const std::string& bytes, std::wstring& error);

  BinaryFile() = delete;
};

}  // namespace kwtool
