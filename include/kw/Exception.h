// Exception: the base of the library's failure objects (type 0).
#pragma once

#include <kw/Platform.h>

#include <iosfwd>
#include <string>

namespace kw {

// The library's failure object: a site ID, a description that grows with
// parameters and system error text, the throw site and the call stack.
class KW_API Exception {
 public:
  Exception();
  // A type-0 exception of a site; file and function must outlive it.
  Exception(int id, const wchar_t* description, const wchar_t* file, int line,
            const wchar_t* function);
  // An exception of the given type of a site.
  Exception(int type, int id, const wchar_t* description, const wchar_t* file, int line,
            const wchar_t* function);
  // A translated fault; the stack is walked from the fault's context.
  Exception(int id, const wchar_t* description, EXCEPTION_POINTERS* pointers, const wchar_t* file,
            int line, const wchar_t* function);
  // Copies every field, the stack text included, without walking again.
  Exception(const Exception& other);
  virtual ~Exception();

  // Copies every field, the stack text included.
  Exception& operator=(const Exception& other);

  // 0 Exception, 1 SystemException, 2 CommsException.
  int getExceptionType() const { return m_nExceptionType; }
  // The site ID.
  int getExceptionID() const { return m_nExceptionID; }
  // The throw site's line.
  int getLine() const { return m_nLine; }
  // The description with its parameters and error text.
  const wchar_t* getDescription() const { return m_strDescription.c_str(); }
  // The call stack captured when the exception was built.
  const wchar_t* getStackTrace() const { return m_strStackTrace.c_str(); }
  // The throw site's file.
  const wchar_t* getFile() const { return m_pszFile; }
  // The throw site's function.
  const wchar_t* getFunction() const { return m_pszFunction; }

  // Replaces the type.
  void setExceptionType(int type) { m_nExceptionType = type; }
  // Replaces the site ID.
  void setExceptionID(int id) { m_nExceptionID = id; }
  // Replaces the description.
  void setDescription(const wchar_t* description);

  // Appends " (Param n: value) ".
  void addParameter(const wchar_t* value);
  // Appends " (Param n: value) " with the value in decimal.
  void addParameter(int value);
  // Appends " : <system text> (<code>)"; nothing for 0.
  void addErrorInfo(int code);

  // Type, ID, description and stack as one text.
  std::wstring toString() const;

  // Reads the translator mode ("Win32ExceptionHandler") and, above 0, makes
  // structured exceptions on the calling thread arrive through translate.
  static void registerWin32ExceptionHandler();
  // Turns a structured exception into a thrown Exception after tracing it;
  // returns only by throwing.
  [[noreturn]] static void translate(unsigned int code, EXCEPTION_POINTERS* pointers);

 protected:
  // The mode last read by registerWin32ExceptionHandler; 0 before any.
  static int s_nWin32ExceptionHandler;

 private:
  void init(int type, int id, const wchar_t* description, const wchar_t* file, int line,
            const wchar_t* function);

  int m_nExceptionType;
  int m_nExceptionID;
  std::wstring m_strDescription;
  const wchar_t* m_pszFile;
  int m_nLine;
  const wchar_t* m_pszFunction;
  int m_nParameterCount;
  std::wstring m_strStackTrace;
};

// Writes the text of toString.
KW_API std::wostream& operator<<(std::wostream& stream, const Exception& exception);

}  // namespace kw
