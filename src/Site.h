// Where the classes report a failure from, and the one way they report it:
// an error event or a SystemException naming the site's file and function.
#pragma once

namespace kw {

class CommsException;
class Exception;

class Site {
 public:
  // A named text an event carries ahead of the system error; {} is none.
  struct Detail {
    const wchar_t* name;
    const wchar_t* value;
  };

  constexpr Site(const wchar_t* file, const wchar_t* function)
      : m_pszFile(file), m_pszFunction(function) {}

  // Traces an error event, with the detail when it has a name.
  void trace(unsigned long id, const wchar_t* description, int line,
             const Detail& detail = {}) const;
  // As trace, the thread's last system error added after the detail.
  void traceSystemError(unsigned long id, const wchar_t* description, int line,
                        const Detail& detail = {}) const;
  // Traces an error event that carries the exception caught.
  void traceCaught(unsigned long id, const Exception& caught, const wchar_t* description,
                   int line) const;
  // Throws a SystemException carrying the thread's last system error, and
  // the parameter when there is one.
  [[noreturn]] void throwSystemError(unsigned long id, const wchar_t* description, int line,
                                     const wchar_t* parameter = nullptr) const;
  // Throws an Exception (type 0) of the site.
  [[noreturn]] void throwException(unsigned long id, const wchar_t* description, int line) const;
  // A CommsException of the site with an integer parameter, for a caller
  // that traces it instead of throwing it.
  CommsException commsException(unsigned long id, const wchar_t* description, int line,
                                int parameter) const;
  [[noreturn]] void throwCommsException(unsigned long id, const wchar_t* description, int line,
                                        int parameter) const;

 private:
  void report(unsigned long id, const wchar_t* description, int line, const Detail& detail,
              bool systemError) const;

  const wchar_t* m_pszFile;
  const wchar_t* m_pszFunction;
};

}  // namespace kw
