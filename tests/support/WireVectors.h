// The shared wire vectors: messages that both targets serialise to the same bytes.
#pragma once

#include <map>
#include <string>

namespace kwtest {

// Each vector's name and its wire bytes in hex, from tests/data/wire_vectors.txt.
std::map<std::string, std::string> readWireVectors();

}  // namespace kwtest
