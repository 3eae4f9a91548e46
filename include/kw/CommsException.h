// CommsException: the exception type (2) of the message and transport code.
#pragma once

#include <kw/Exception.h>

namespace kw {

// A malformed or oversized message, or a transport failure; type 2.
class KW_API CommsException : public Exception {
 public:
  // Built as Exception's, with type 2; captures the call stack.
  CommsException(int id, const wchar_t* description, const wchar_t* file, int line,
                 const wchar_t* function);
  // Copies every field, the stack text included.
  CommsException(const CommsException& other);
  virtual ~CommsException();
  // Copies every field, the stack text included.
  CommsException& operator=(const CommsException& other);
};

}  // namespace kw
