// The classes' failure reports: error events and SystemExceptions of a site.
#include "Site.h"

#include <kw/Event.h>
#include <kw/Logger.h>
#include <kw/SystemException.h>

namespace kw {

void Site::trace(unsigned long id, const wchar_t* description, int line,
                 const Detail& detail) const {
  report(id, description, line, detail, false);
}

void Site::traceSystemError(unsigned long id, const wchar_t* description, int line,
                            const Detail& detail) const {
  report(id, description, line, detail, true);
}

void Site::traceCaught(unsigned long id, const Exception& caught, const wchar_t* description,
                       int line) const {
  Event event(id, &caught, description, m_pszFile, line, m_pszFunction);
  Logger::Trace(event);
}

void Site::throwSystemError(unsigned long id, const wchar_t* description, int line) const {
  SystemException exception(static_cast<int>(id), description, m_pszFile, line, m_pszFunction);
  exception.addSystemErrorInfo();
  throw exception;
}

void Site::report(unsigned long id, const wchar_t* description, int line, const Detail& detail,
                  bool systemError) const {
  Event event(id, description, m_pszFile, line, m_pszFunction);
  if (detail.name) event.addDetails(detail.name, detail.value);
  if (systemError) event.addSystemErrorInfo();
  Logger::Trace(event);
}

}  // namespace kw
