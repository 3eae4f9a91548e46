// readFile and writeFile: binary streams, so that no line ending is translated on Windows.
#include "support/FileBytes.h"

#include <fstream>
#include <iterator>

namespace kwtest {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace kwtest
