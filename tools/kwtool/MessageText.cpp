#include "kwtool/MessageText.h"

#include <kw/Msg.h>

#include <string>

namespace kwtool {

void MessageText::print(const kw::Msg& msg, Console& console) {
  std::wstring text;
  msg.toString(text);
  console.print(L"Type: " + std::wstring(kw::Msg::getTypeName(msg.getType())) + L" (" +
                std::to_wstring(static_cast<int>(msg.getType())) + L")");
  // The text form ends each attribute with "\r\n".
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    console.print(text.substr(start, end - start));
    start = end + 2;
  }
}

}  // namespace kwtool
