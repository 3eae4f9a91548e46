// Exception: the description, its parameters and the stack trace captured
// when it is made; the translation of processor faults into exceptions.
#include <kw/Exception.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>
#include <kw/StackWalker.h>
#include <kw/Tools.h>

#include <cstdint>
#include <ostream>
#include <sstream>

#include "Site.h"
#include "os/Desktop.h"
#include "os/FaultTranslator.h"
#include "os/StackWalking.h"
#include "os/Unwinding.h"

namespace kw {

namespace {

// The calling thread's stack, from the context when one is given; empty when
// the walk fails.
std::wstring captureStack(const CONTEXT* context) {
#if defined(KW_NO_STACK_CAPTURE)
  // The fuzz build throws for nearly every input; walking each throw's stack
  // would leave little time for the parser under test.
  (void)context;
#else
  try {
    StackWalker walker(63, nullptr, static_cast<std::uint32_t>(os::currentProcessId()),
                       os::thisProcess());
    return walker.ShowCallstack(os::thisThread(), context, nullptr, nullptr);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
  }
#endif
  return std::wstring();
}

}  // namespace

Exception::Exception() {
  init(0, 0, L"", L"Unknown", 0, L"Unknown");
  m_strStackTrace = captureStack(nullptr);
}

Exception::Exception(int id, const wchar_t* description, const wchar_t* file, int line,
                     const wchar_t* function) {
  init(0, id, description, file, line, function);
  m_strStackTrace = captureStack(nullptr);
}

Exception::Exception(int type, int id, const wchar_t* description, const wchar_t* file, int line,
                     const wchar_t* function) {
  init(type, id, description, file, line, function);
  m_strStackTrace = captureStack(nullptr);
}

Exception::Exception(int id, const wchar_t* description, EXCEPTION_POINTERS* pointers,
                     const wchar_t* file, int line, const wchar_t* function) {
  init(0, id, description, file, line, function);
  m_strStackTrace =
      captureStack(pointers ? static_cast<const CONTEXT*>(pointers->ContextRecord) : nullptr);
}

Exception::Exception(const Exception& other) = default;

Exception::~Exception() = default;

Exception& Exception::operator=(const Exception& other) = default;

void Exception::init(int type, int id, const wchar_t* description, const wchar_t* file, int line,
                     const wchar_t* function) {
  m_nExceptionType = type;
  m_nExceptionID = id;
  m_strDescription = description ? description : L"";
  m_pszFile = file;
  m_nLine = line;
  m_pszFunction = function;
  m_nParameterCount = 0;
}

void Exception::setDescription(const wchar_t* description) {
  m_strDescription = description ? description : L"";
}

void Exception::addParameter(const wchar_t* value) {
  ++m_nParameterCount;
  m_strDescription += L" (Param ";
  m_strDescription += std::to_wstring(m_nParameterCount);
  m_strDescription += L": ";
  m_strDescription += value ? value : L"";
  m_strDescription += L") ";
}

void Exception::addParameter(int value) { addParameter(std::to_wstring(value).c_str()); }

void Exception::addErrorInfo(int code) {
  if (code == 0) return;
  std::wstring text;
  Tools::lookupErrorDescription(code, text);
  m_strDescription += L" : ";
  m_strDescription += text;
  m_strDescription += L" (";
  m_strDescription += std::to_wstring(code);
  m_strDescription += L")";
}

std::wstring Exception::toString() const {
  std::wostringstream stream;
  stream << *this;
  return stream.str();
}

std::wostream& operator<<(std::wostream& stream, const Exception& exception) {
  stream << L"Type: " << exception.getExceptionType() << L" ID: " << exception.getExceptionID()
         << L" Desc: " << exception.getDescription() << L" StackTrace: "
         << exception.getStackTrace();
  return stream;
}

int Exception::s_nWin32ExceptionHandler = 0;

void Exception::registerWin32ExceptionHandler() {
  const Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  s_nWin32ExceptionHandler = settings.read(L"Win32ExceptionHandler", 1);
  if (s_nWin32ExceptionHandler > 0) os::installFaultTranslator(&Exception::translate);
}

void Exception::translate(unsigned int, EXCEPTION_POINTERS* pointers) {
  Exception exception(SiteId::HardwareFault, L"Win32 exception", pointers, L".\\src\\Exception",
                      __LINE__, L"Exception::translate");
  EXCEPTION_RECORD record{};
  if (pointers && pointers->ExceptionRecord) record = *pointers->ExceptionRecord;
  exception.addParameter(static_cast<int>(record.ExceptionCode));
  exception.addParameter(static_cast<int>(record.ExceptionFlags));
  // Addresses keep their low 32 bits, as the parameter is an int.
  exception.addParameter(
      static_cast<int>(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress)));
  const unsigned count = record.NumberParameters < EXCEPTION_MAXIMUM_PARAMETERS
                             ? record.NumberParameters
                             : EXCEPTION_MAXIMUM_PARAMETERS;
  for (unsigned index = 0; index < count; ++index)
    exception.addParameter(static_cast<int>(record.ExceptionInformation[index]));

  Site(L".\\src\\Exception", L"Exception::translate")
      .traceCaught(SiteId::HardwareFaultTraced, exception,
                   L"Win32 exception translate function called", __LINE__);

  // Mode 2 throws no Exception: the structured exception goes on as if no
  // translator were installed.
  if (s_nWin32ExceptionHandler == 2) os::passFaultOn();
  throw exception;
}

}  // namespace kw
