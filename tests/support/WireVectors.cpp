// Reads the shared wire vectors' data file.
#include "support/WireVectors.h"

#include <fstream>

namespace kwtest {

std::map<std::string, std::string> readWireVectors() {
  std::map<std::string, std::string> vectors;
  std::ifstream in(KW_TEST_DATA "/wire_vectors.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    vectors[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return vectors;
}

}  // namespace kwtest
