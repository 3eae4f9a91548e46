#pragma once

#include <kw/Platform.h>

#include <cstdint>
#include <string>

#if defined(_WIN32)
// The convention of what the debugging library calls back (stdcall on x86).
#define KW_CALLBACK CALLBACK
#else
#define KW_CALLBACK
#include <ucontext.h>
// A thread's register state: the signal context type, which is also what a
// translated fault's ContextRecord points at.
typedef ucontext_t CONTEXT;
#endif

namespace kw {

class DbgHelpBinding;

// Captures the call stack of a thread of this process as wide text, one line
// per frame, optionally preceded by lines about the symbol engine and the
// loaded modules ("StackTraceInfoDepth" 2).
class KW_API StackWalker {
 public:
  enum CallstackEntryType { EntryFirst = 0, EntryNext = 1, EntryLast = 2 };

  enum { STACKWALK_MAX_NAMELEN = 1024 };

  struct CallstackEntry {
    std::uint64_t offset;
    char name[STACKWALK_MAX_NAMELEN];
    char undName[STACKWALK_MAX_NAMELEN];
    char undFullName[STACKWALK_MAX_NAMELEN];
    std::uint64_t offsetFromSmybol;
    std::uint32_t offsetFromLine;
    std::uint32_t lineNumber;
    char lineFileName[STACKWALK_MAX_NAMELEN];
    std::uint32_t symType;
    const char* symTypeString;
    char moduleName[STACKWALK_MAX_NAMELEN];
    std::uint64_t baseOfImage;
    char loadedImageName[STACKWALK_MAX_NAMELEN];
  };

  // Reads memory of the walked process; nonzero on success.
  typedef int (*PReadProcessMemoryRoutine)(HANDLE hProcess, std::uint64_t qwBaseAddress,
                                           void* lpBuffer, std::uint32_t nSize,
                                           std::uint32_t* lpNumberOfBytesRead, void* pUserData);

  // The current process.
  explicit StackWalker(int options = 63, const char* szSymPath = nullptr);
  StackWalker(int options, const char* szSymPath, std::uint32_t dwProcessId, HANDLE hProcess);
  StackWalker(std::uint32_t dwProcessId, HANDLE hProcess);
  virtual ~StackWalker();

  // Copies would share the owned binding.
  StackWalker(const StackWalker&) = delete;
  StackWalker& operator=(const StackWalker&) = delete;

  int LoadModules();

  std::wstring ShowCallstack(HANDLE hThread, const CONTEXT* context = nullptr,
                             PReadProcessMemoryRoutine readMemoryFunction = nullptr,
                             void* pUserData = nullptr);

 protected:
  virtual void OnSymInit(const char* szSearchPath, std::uint32_t symOptions,
                         const char* szUserName);
  virtual void OnLoadModule(const char* img, const char* mod, std::uint64_t baseAddr,
                            std::uint32_t size, std::uint32_t result, const char* symType,
                            const char* pdbName, std::uint64_t fileVersion);
  virtual void OnCallstackEntry(CallstackEntryType eType, CallstackEntry& entry);
  virtual void OnDbgHelpErr(const char* szFuncName, std::uint32_t gle, std::uint64_t addr);
  virtual void OnOutput(const char* szText);

  static int KW_CALLBACK myReadProcMem(HANDLE hProcess, std::uint64_t qwBaseAddress, void* lpBuffer,
                                       std::uint32_t nSize, std::uint32_t* lpNumberOfBytesRead);

  int GetStackTraceInfoDepth();
  void GetCurrentContext(CONTEXT& context, std::uint32_t contextFlags);
  bool MyRtlCaptureContext(CONTEXT& context);
  void BuildStacktraceString(const char* szText);

 private:
  friend class DbgHelpBinding;

  void construct(int options, const char* szSymPath, std::uint32_t dwProcessId, HANDLE hProcess);
  // Writes one formatted line (cut to 1023 characters) through OnOutput.
  void output(const char* format, ...);

  DbgHelpBinding* m_sw;
  HANDLE m_hProcess;
  std::uint32_t m_dwProcessId;
  int m_modulesLoaded;
  char* m_szSymPath;
  int m_options;
  std::wstring m_strStackTrace;
  int m_nStackTraceInfoLevel;
};

}  // namespace kw
