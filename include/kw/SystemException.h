// SystemException: the exception type (1) of a failed operating-system call.
#pragma once

#include <kw/Exception.h>

namespace kw {

// A failed operating-system call; type 1.
class KW_API SystemException : public Exception {
 public:
  // Built as Exception's, with type 1; captures the call stack.
  SystemException(int id, const wchar_t* description, const wchar_t* file, int line,
                  const wchar_t* function);
  // Copies every field, the stack text included.
  SystemException(const SystemException& other);
  virtual ~SystemException();
  // Copies every field, the stack text included.
  SystemException& operator=(const SystemException& other);

  // Adds the thread's last system error; call it before anything can change it.
  void addSystemErrorInfo();
};

}  // namespace kw
