// The file access of encode --out and of NAME:file= attributes.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace kwtool {

// Whole-file reads and writes by wide path; "-" is not special here.
class BinaryFile {
 public:
  // On failure `error` says why, with the path.
  static bool open(const std::wstring& path, std::ifstream& file, std::wstring& error);
  enum Result { Read, Failed, TooLarge };
  // TooLarge, without reading it all, for a file of more than `maxBytes`.
  static Result read(const std::wstring& path, std::string& bytes, std::int64_t maxBytes,
                     std::wstring& error);
  static bool write(const std::wstring& path, const std::string& bytes, std::wstring& error);

  BinaryFile() = delete;
};

}  // namespace kwtool
