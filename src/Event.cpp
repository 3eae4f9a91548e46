// Event: construction, details and system error text, and the log line with its header.
#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/Tools.h>

#include <cwchar>
#include <ostream>

#include "os/Clock.h"
#include "os/ErrorText.h"

namespace kw {

Event::Event(unsigned long id, const wchar_t* description, EventType type, const wchar_t* file,
             int line, const wchar_t* function)
    : m_bIncludeHeaders(false) {
  init(id, description, type, file, line, function);
}

Event::Event(unsigned long id, const wchar_t* file, int line, const wchar_t* function)
    : m_bIncludeHeaders(false) {
  init(id, L"", Error, file, line, function);
}

Event::Event(unsigned long id, const wchar_t* description, const wchar_t* file, int line,
             const wchar_t* function)
    : m_bIncludeHeaders(false) {
  init(id, description, Error, file, line, function);
}

Event::Event(unsigned long id, const Exception* exception, const wchar_t* description,
             const wchar_t* file, int line, const wchar_t* function)
    : m_bIncludeHeaders(false) {
  init(id, description, Error, file, line, function);
  m_pException = exception;
}

Event::Event(unsigned long id, const Exception* exception, const wchar_t* file, int line,
             const wchar_t* function)
    : m_bIncludeHeaders(false) {
  init(id, L"", Error, file, line, function);
  m_pException = exception;
}

Event::Event(const Event& other) = default;

Event::~Event() = default;

Event& Event::operator=(const Event& other) = default;

void Event::init(unsigned long id, const wchar_t* description, EventType type, const wchar_t* file,
                 int line, const wchar_t* function) {
  m_nID = id;
  m_strDescription = description ? description : L"";
  m_eType = type;
  m_pszFile = file;
  m_nLine = line;
  m_pszFunction = function;
  m_pException = nullptr;
  m_strDetails.clear();
}

void Event::addDetails(const wchar_t* name, const wchar_t* value) {
  m_strDetails += L" ";
  m_strDetails += name ? name : L"";
  m_strDetails += L":";
  m_strDetails += value ? value : L"";
}

void Event::addDetails(const wchar_t* name, int value) {
  m_strDetails += L" ";
  m_strDetails += name ? name : L"";
  m_strDetails += L": ";
  m_strDetails += std::to_wstring(value);
}

void Event::addSystemErrorInfo() {
  int code = os::lastError();
  std::wstring text;
  Tools::lookupErrorDescription(code, text);
  addDetails(L"System Error ID", code);
  if (!text.empty()) addDetails(L"System Error Description", text.c_str());
}

namespace {

const wchar_t* typeLabel(Event::EventType type) {
  switch (type) {
    case Event::Info:
      return L"Info    ";
    case Event::Warning:
      return L"Warning ";
    default:
      return L"Error   ";
  }
}

// Decimal digits written directly: std::to_wstring formats through
// vswprintf, which costs as much as the rest of the header.
void appendDecimal(std::wstring& text, long long value) {
  wchar_t digits[24];
  wchar_t* end = digits + sizeof digits / sizeof digits[0];
  wchar_t* first = end;
  unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                      : static_cast<unsigned long long>(value);
  do {
    *--first = static_cast<wchar_t>(L'0' + rest % 10);
    rest /= 10;
  } while (rest);
  if (value < 0) *--first = L'-';
  text.append(first, end);
}

// Two digits, zero-filled.
void appendTwoDigits(std::wstring& text, int value) {
  text += static_cast<wchar_t>(L'0' + value / 10 % 10);
  text += static_cast<wchar_t>(L'0' + value % 10);
}

// The local time as "%Y/%m/%d %H:%M:%S", written directly: a trace file
// event should cost little more than the file's own write.
void appendLocalTime(std::wstring& text) {
  std::tm local{};
  if (!os::localTimeNow(local)) return;
  appendDecimal(text, local.tm_year + 1900LL);
  text += L'/';
  appendTwoDigits(text, local.tm_mon + 1);
  text += L'/';
  appendTwoDigits(text, local.tm_mday);
  text += L' ';
  appendTwoDigits(text, local.tm_hour);
  text += L':';
  appendTwoDigits(text, local.tm_min);
  text += L':';
  appendTwoDigits(text, local.tm_sec);
}

void appendText(std::wstring& text, const Event& event) {
  if (event.getIncludeHeaders()) {
    appendLocalTime(text);
    text += L' ';
    text += typeLabel(event.getType());
    appendDecimal(text, static_cast<unsigned int>(event.getID()));
    text += L' ';
  }
  text += event.getDescription();
  text += L' ';
  text += event.getDetails();
  if (event.getException()) {
    text += L" Exception: ";
    text += event.getException()->toString();
  }
  text += L"\r\n";
}

}  // namespace

std::wstring Event::toString(bool includeHeaders) {
  m_bIncludeHeaders = includeHeaders;
  std::wstring text;
  text.reserve(64 + m_strDescription.size() + m_strDetails.size());
  appendText(text, *this);
  return text;
}

std::wostream& operator<<(std::wostream& stream, const Event& event) {
  std::wstring text;
  appendText(text, event);
  return stream << text;
}

}  // namespace kw
