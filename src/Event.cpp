#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/Tools.h>

#include <cwchar>
#include <ostream>
#include <sstream>

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

std::wstring Event::toString(bool includeHeaders) {
  m_bIncludeHeaders = includeHeaders;
  std::wostringstream stream;
  stream << *this;
  return stream.str();
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

}  // namespace

std::wostream& operator<<(std::wostream& stream, const Event& event) {
  if (event.getIncludeHeaders()) {
    wchar_t time[32] = {};
    std::tm local{};
    if (os::localTimeNow(local)) std::wcsftime(time, 32, L"%Y/%m/%d %H:%M:%S", &local);
    stream << time << L" " << typeLabel(event.getType()) << static_cast<unsigned int>(event.getID())
           << L" ";
  }
  stream << event.getDescription() << L" " << event.getDetails();
  if (event.getException()) stream << L" Exception: " << event.getException()->toString();
  stream << L"\r\n";
  return stream;
}

}  // namespace kw
