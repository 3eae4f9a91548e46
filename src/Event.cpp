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

// The header is written into a buffer of its own and appended at once; a
// trace file event should cost little more than the file's own write.
class Header {
 public:
  // Decimal digits written directly: std::to_wstring formats through
  // vswprintf, which costs as much as the rest of the header.
  void decimal(long long value) {
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
    while (first != end) put(*first++);
  }
  // Two digits, zero-filled.
  void twoDigits(int value) {
    put(static_cast<wchar_t>(L'0' + value / 10 % 10));
    put(static_cast<wchar_t>(L'0' + value % 10));
  }
  void put(wchar_t c) { m_aText[m_nLength++] = c; }
  void put(const wchar_t* text) {
    while (*text) put(*text++);
  }
  // The local time as "%Y/%m/%d %H:%M:%S".
  void localTime() {
    std::tm local{};
    if (!os::localTimeNow(local)) return;
    decimal(local.tm_year + 1900LL);
    put(L'/');
    twoDigits(local.tm_mon + 1);
    put(L'/');
    twoDigits(local.tm_mday);
    put(L' ');
    twoDigits(local.tm_hour);
    put(L':');
    twoDigits(local.tm_min);
    put(L':');
    twoDigits(local.tm_sec);
  }
  void appendTo(std::wstring& text) const { text.append(m_aText, m_nLength); }

 private:
  // Room for the longest: a 20-digit year, 15 more time characters, the
  // label, a 10-digit ID and the blanks.
  wchar_t m_aText[64];
  std::size_t m_nLength = 0;
};

void appendText(std::wstring& text, const Event& event) {
  if (event.getIncludeHeaders()) {
    Header header;
    header.localTime();
    header.put(L' ');
    header.put(typeLabel(event.getType()));
    header.decimal(static_cast<unsigned int>(event.getID()));
    header.put(L' ');
    header.appendTo(text);
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
