// Hex text <-> bytes for test data.
#pragma once

#include <kw/ByteArray.h>

#include <string>

namespace kwtest {

// Two lower-case digits per byte, nothing between them.
std::string toHex(const kw::ByteArray& bytes);
// Accepts upper or lower case and ignores blanks; returns false on anything else.
bool fromHex(const std::string& text, kw::ByteArray& bytes);
// fromHex that fails the test on bad input.
kw::ByteArray hex(const std::string& text);

}  // namespace kwtest
