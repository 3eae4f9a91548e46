// Event: one log record, as the logger hands it to its devices.
#pragma once

#include <kw/Platform.h>

#include <iosfwd>
#include <string>

namespace kw {

class Exception;

// One log record: site ID, severity, description, details, the logging site
// and optionally the exception it reports.
class KW_API Event {
 public:
  // The severity of an event.
  enum EventType : int { Info = 0, Error = 1, Warning = 2 };

  // An event of the given type; file and function must outlive it.
  Event(unsigned long id, const wchar_t* description, EventType type, const wchar_t* file, int line,
        const wchar_t* function);
  // An Error event without description.
  Event(unsigned long id, const wchar_t* file, int line, const wchar_t* function);
  // An Error event.
  Event(unsigned long id, const wchar_t* description, const wchar_t* file, int line,
        const wchar_t* function);
  // An Error event reporting a caught exception, whose text is appended.
  Event(unsigned long id, const Exception* exception, const wchar_t* description,
        const wchar_t* file, int line, const wchar_t* function);
  // An Error event reporting a caught exception, without description.
  Event(unsigned long id, const Exception* exception, const wchar_t* file, int line,
        const wchar_t* function);
  // Copies every field; the exception pointer is shared.
  Event(const Event& other);
  virtual ~Event();

  // Copies every field; the exception pointer is shared.
  Event& operator=(const Event& other);

  // The site ID.
  int getID() const { return static_cast<int>(m_nID); }
  // The severity.
  EventType getType() const { return m_eType; }
  // The description.
  const wchar_t* getDescription() const { return m_strDescription.c_str(); }
  // The details added so far.
  const wchar_t* getDetails() const { return m_strDetails.c_str(); }
  // The logging site's file.
  const wchar_t* getFile() const { return m_pszFile; }
  // The logging site's function.
  const wchar_t* getFunction() const { return m_pszFunction; }
  // The logging site's line.
  int getLine() const { return m_nLine; }
  // Whether the devices write the header of time, severity and ID.
  bool getIncludeHeaders() const { return m_bIncludeHeaders; }
  // The reported exception, or null.
  const Exception* getException() const { return m_pException; }

  // Appends " name:value".
  void addDetails(const wchar_t* name, const wchar_t* value);
  // Appends " name: value".
  void addDetails(const wchar_t* name, int value);
  // Appends the thread's last system error code and its text.
  void addSystemErrorInfo();

  // The record as one line ending in "\r\n", with or without the header of
  // local time, severity label and ID.
  std::wstring toString(bool includeHeaders);

 protected:
  // Sets every field; shared by the constructors.
  void init(unsigned long id, const wchar_t* description, EventType type, const wchar_t* file,
            int line, const wchar_t* function);

 private:
  // toString's work, into a buffer the caller keeps (the trace file's).
  friend void composeEventLine(std::wstring& line, Event& event, bool includeHeaders);

  unsigned long m_nID;
  std::wstring m_strDescription;
  std::wstring m_strDetails;
  const Exception* m_pException;
  EventType m_eType;
  const wchar_t* m_pszFile;
  int m_nLine;
  const wchar_t* m_pszFunction;
  bool m_bIncludeHeaders;
};

// Writes the record as toString does, headers as getIncludeHeaders says.
KW_API std::wostream& operator<<(std::wostream& stream, const Event& event);

}  // namespace kw
