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
  Exception(int id, const wchar_t* description, const wchar_t* file, int line,
            const wchar_t* function);
  Exception(int type, int id, const wchar_t* description, const wchar_t* file, int line,
            const wchar_t* function);
  Exception(int id, const wchar_t* description, EXCEPTION_POINTERS* pointers, const wchar_t* file,
            int line, const wchar_t* function);
  Exception(const Exception& other);
  virtual ~Exception();

  Exception& operator=(const Exception& other);

  int getExceptionType() const { return m_nExceptionType; }
  int getExceptionID() const { return m_nExceptionID; }
  int getLine() const { return m_nLine; }
  const wchar_t* getDescription() const { return m_strDescription.c_str(); }
  const wchar_t* getStackTrace() const { return m_strStackTrace.c_str(); }
  const wchar_t* getFile() const { return m_pszFile; }
  const wchar_t* getFunction() const { return m_pszFunction; }

  void setExceptionType(int type) { m_nExceptionType = type; }
  void setExceptionID(int id) { m_nExceptionID = id; }
  void setDescription(const wchar_t* description);

  // Appends " (Param n: value) ".
  void addParameter(const wchar_t* value);
  void addParameter(int value);
  // Appends " : <system text> (<code>)"; nothing for 0.
  void addErrorInfo(int code);

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

KW_API std::wostream& operator<<(std::wostream& stream, const Exception& exception);

}  // namespace kw
