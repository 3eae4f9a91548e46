// The classes' failure reports: error events and SystemExceptions of a site.
#include "Site.h"

#include <kw/CommsException.h>
#include <kw/Event.h>
#include <kw/Logger.h>
#include <kw/SystemException.h>

#include "os/ErrorText.h"

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

// The error is read before anything is built: building may change it.
void Site::throwSystemError(unsigned long id, const wchar_t* description, int line,
                            const wchar_t* parameter) const {
  const int error = os::lastError();
  SystemException exception(static_cast<int>(id), description, m_pszFile, line, m_pszFunction);
  os::setLastError(error);
  exception.addSystemErrorInfo();
  if (parameter) exception.addParameter(parameter);
  throw exception;
}

void Site::throwException(unsigned long id, const wchar_t* description, int line) const {
  throw Exception(static_cast<int>(id), description, m_pszFile, line, m_pszFunction);
}

CommsException Site::commsException(unsigned long id, const wchar_t* description, int line,
                                    int parameter) const {
  CommsException exception(static_cast<int>(id), description, m_pszFile, line, m_pszFunction);
  exception.addParameter(parameter);
  return exception;
}

void Site::throwCommsException(unsigned long id, const wchar_t* description, int line,
                               int parameter) const {
  throw commsException(id, description, line, parameter);
}

void Site::report(unsigned long id, const wchar_t* description, int line, const Detail& detail,
                  bool systemError) const {
  const int error = os::lastError();
  Event event(id, description, m_pszFile, line, m_pszFunction);
  if (detail.name) event.addDetails(detail.name, detail.value);
  if (systemError) {
    os::setLastError(error);
    event.addSystemErrorInfo();
  }
  Logger::Trace(event);
}

}  // namespace kw
