// Wide text as UTF-8 for test messages and child arguments, and back.
#pragma once

#include <string>

namespace kwtest {

std::string narrow(const std::wstring& text);
std::wstring wide(const std::string& text);

}  // namespace kwtest
