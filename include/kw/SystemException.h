#pragma once

#include <kw/Exception.h>

namespace kw {

// A failed operating-system call; type 1.
class KW_API SystemException : public Exception {
 public:
  SystemException(int id, const wchar_t* description, const wchar_t* file, int line,
                  const wchar_t* function);
  SystemException(const SystemException& other);
  virtual ~SystemException();
  SystemException& operator=(const SystemException& other);

  // Adds the thread's last system error; call it before anything can change it.
  void addSystemErrorInfo();
};

}  // namespace kw
