// Event: construction, details and system error text, and the log line with its header.
#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/Tools.h>

#include <cwchar>
#include <ostream>
#include <string_view>

#include "EventLine.h"
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

std::wstring_view typeLabel(Event::EventType type) {
  switch (type) {
    case Event::Info:
      return L"Info    ";
    case Event::Warning:
      return L"Warning ";
    default:
      return L"Error   ";
  }
}

// A few characters written into a buffer of their own: the header costs
// little next to the trace file's own write.
class ShortText {
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
    append({first, static_cast<std::size_t>(end - first)});
  }
  // Two digits, zero-filled.
  void twoDigits(int value) {
    put(static_cast<wchar_t>(L'0' + value / 10 % 10));
    put(static_cast<wchar_t>(L'0' + value % 10));
  }
  void put(wchar_t c) { m_aText[m_nLength++] = c; }
  void append(std::wstring_view text) { m_nLength += text.copy(m_aText + m_nLength, text.size()); }
  std::wstring_view text() const { return {m_aText, m_nLength}; }

 private:
  // Room for the longest header: a 20-digit year and 15 more time characters,
  // a blank, the label, a 10-digit ID and a blank.
  wchar_t m_aText[64];
  std::size_t m_nLength = 0;
};

// The local time as "%Y/%m/%d %H:%M:%S"; empty when the clock cannot be
// read. Events come many to a second, so each thread formats it once a
// second.
std::wstring_view localTimeText() {
  // Plain data, zero before first use, so that no use needs a set-up check.
  struct Second {
    bool known;
    std::time_t time;
    std::size_t length;
    wchar_t text[40];
  };
  thread_local Second t_last;
  Second& last = t_last;
  const std::time_t now = std::time(nullptr);
  if (!last.known || now != last.time) {
    ShortText text;
    std::tm local{};
    if (now != static_cast<std::time_t>(-1) && os::localTime(now, local)) {
      text.decimal(local.tm_year + 1900LL);
      text.put(L'/');
      text.twoDigits(local.tm_mon + 1);
      text.put(L'/');
      text.twoDigits(local.tm_mday);
      text.put(L' ');
      text.twoDigits(local.tm_hour);
      text.put(L':');
      text.twoDigits(local.tm_min);
      text.put(L':');
      text.twoDigits(local.tm_sec);
    }
    last.length = text.text().copy(last.text, sizeof last.text / sizeof last.text[0]);
    last.time = now;
    last.known = true;
  }
  return {last.text, last.length};
}

// The parts of a record's line; toString hands its own strings over without
// measuring them again.
struct LineParts {
  bool headers;
  Event::EventType type;
  int id;
  std::wstring_view description;
  std::wstring_view details;
  const Exception* exception;
};

wchar_t* copyPiece(wchar_t* out, std::wstring_view piece) {
  return std::char_traits<wchar_t>::copy(out, piece.data(), piece.size()) + piece.size();
}

// The line is sized once and its parts copied in.
void composeLine(std::wstring& line, const LineParts& parts) {
  ShortText header;
  if (parts.headers) {
    header.append(localTimeText());
    header.put(L' ');
    header.append(typeLabel(parts.type));
    header.decimal(static_cast<unsigned int>(parts.id));
    header.put(L' ');
  }
  constexpr std::wstring_view kExceptionLabel = L" Exception: ";
  const std::wstring exception = parts.exception ? parts.exception->toString() : std::wstring();
  const std::size_t exceptionLength =
      parts.exception ? kExceptionLabel.size() + exception.size() : 0;
  line.resize(header.text().size() + parts.description.size() + 1 + parts.details.size() +
              exceptionLength + 2);
  wchar_t* out = copyPiece(&line[0], header.text());
  out = copyPiece(out, parts.description);
  *out++ = L' ';
  out = copyPiece(out, parts.details);
  if (parts.exception) out = copyPiece(copyPiece(out, kExceptionLabel), exception);
  out[0] = L'\r';
  out[1] = L'\n';
}

}  // namespace

void composeEventLine(std::wstring& line, Event& event, bool includeHeaders) {
  event.m_bIncludeHeaders = includeHeaders;
  composeLine(line, {includeHeaders, event.m_eType, event.getID(), event.m_strDescription,
                     event.m_strDetails, event.m_pException});
}

std::wstring Event::toString(bool includeHeaders) {
  std::wstring line;
  composeEventLine(line, *this, includeHeaders);
  return line;
}

std::wostream& operator<<(std::wostream& stream, const Event& event) {
  std::wstring line;
  composeLine(line, {event.getIncludeHeaders(), event.getType(), event.getID(),
                     event.getDescription(), event.getDetails(), event.getException()});
  return stream << line;
}

}  // namespace kw
