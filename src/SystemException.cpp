// SystemException: an Exception constructed with type 1, plus the thread's last system error.
#include <kw/SystemException.h>

#include "os/ErrorText.h"

namespace kw {

SystemException::SystemException(int id, const wchar_t* description, const wchar_t* file, int line,
                                 const wchar_t* function)
    : Exception(1, id, description, file, line, function) {}

SystemException::SystemException(const SystemException& other) = default;

SystemException::~SystemException() = default;

SystemException& SystemException::operator=(const SystemException& other) = default;

void SystemException::addSystemErrorInfo() { addErrorInfo(os::lastError()); }

}  // namespace kw
