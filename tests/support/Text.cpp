// narrow and wide: the library's own UTF-8 conversion, so that any text survives a round trip.
#include "support/Text.h"

#include <kw/Tools.h>

namespace kwtest {

std::string narrow(const std::wstring& text) { return kw::Tools::narrowWideString(text); }

std::wstring wide(const std::string& text) { return kw::Tools::widenNarrowString(text); }

}  // namespace kwtest
