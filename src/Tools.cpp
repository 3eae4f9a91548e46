#include <kw/Tools.h>

#include "os/Clock.h"
#include "os/ErrorText.h"
#include "os/TextCodec.h"

namespace kw {

namespace {

bool isTrimmed(wchar_t c) {
  return c == L'\\' || c == L'\t' || c == L'/' || c == L'.' || c == L' ' || c == L':' || c == L';';
}

// The converters' two steps: the size, terminator included, then the text.
template <typename Out, typename In>
Out convert(const In& text,
            int (*converter)(const typename In::value_type*, typename Out::value_type*, int)) {
  int size = converter(text.c_str(), nullptr, 0);
  if (size <= 0) return Out();
  std::vector<typename Out::value_type> buffer(static_cast<std::size_t>(size));
  if (converter(text.c_str(), buffer.data(), size) == 0) return Out();
  return Out(buffer.data());
}

}  // namespace

void Tools::cleanString(std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && isTrimmed(text[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && isTrimmed(text[begin])) ++begin;
  if (end < text.size()) text.erase(end);
  if (begin > 0) text.erase(0, begin);
}

void Tools::splitString(const std::wstring& text, std::vector<std::wstring>& tokens,
                        const std::wstring& delimiters) {
  tokens.clear();
  std::size_t start = text.find_first_not_of(delimiters);
  while (start != std::wstring::npos) {
    std::size_t end = text.find_first_of(delimiters, start);
    tokens.push_back(
        text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    start = end == std::wstring::npos ? end : text.find_first_not_of(delimiters, end);
  }
}

void Tools::stringToUpper(std::wstring& text) {
  for (auto& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
}

void Tools::stringToLower(std::wstring& text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
}

void Tools::lookupErrorDescription(int code, std::wstring& text) {
  std::wstring message;
  if (!os::systemErrorText(code, message)) return;
  std::size_t cut = message.find_first_of(L"\r\n");
  if (cut != std::wstring::npos) message.erase(cut);
  text = message;
}

std::int64_t Tools::getCurrentTime() { return os::currentTime(); }

std::wstring Tools::widenNarrowString(const std::string& text) {
  return convert<std::wstring>(text, &os::utf8ToWide);
}

std::string Tools::narrowWideString(const std::wstring& text) {
  return convert<std::string>(text, &os::wideToUtf8);
}

}  // namespace kw
