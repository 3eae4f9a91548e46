#pragma once

#include <kw/Exception.h>

namespace kw {

// A malformed or oversized message, or a transport failure; type 2.
class KW_API CommsException : public Exception {
 public:
  CommsException(int id, const wchar_t* description, const wchar_t* file, int line,
                 const wchar_t* function);
  CommsException(const CommsException& other);
  virtual ~CommsException();
  CommsException& operator=(const CommsException& other);
};

}  // namespace kw
