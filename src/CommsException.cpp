// CommsException: an Exception constructed with type 2.
#include <kw/CommsException.h>

namespace kw {

CommsException::CommsException(int id, const wchar_t* description, const wchar_t* file, int line,
                               const wchar_t* function)
    : Exception(2, id, description, file, line, function) {}

CommsException::CommsException(const CommsException& other) = default;

CommsException::~CommsException() = default;

CommsException& CommsException::operator=(const CommsException& other) = default;

}  // namespace kw
