// A file's whole content as bytes, read or written in one call.
#pragma once

#include <filesystem>
#include <string>

namespace kwtest {

// Empty when the file cannot be read.
std::string readFile(const std::filesystem::path& path);
// Replaces the file's content.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace kwtest
