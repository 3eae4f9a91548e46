// StackWalker: the call stack of a thread of this process as text.
#pragma once

#include <kw/Platform.h>
#include <kw/Win32Names.h>

#include <cstdint>
#include <string>

#if defined(_WIN32)
// The convention of what the debugging library calls back (stdcall on x86).
#define KW_CALLBACK CALLBACK
#else
#define KW_CALLBACK
#endif

namespace kw {

class DbgHelpBinding;

// Captures the call stack of a thread of this process as wide text, one line
// per frame, optionally preceded by lines about the symbol engine and the
// loaded modules ("StackTraceInfoDepth" 2).
class KW_API StackWalker {
 public:
  // Where a frame sits in the walk.
  enum CallstackEntryType { EntryFirst = 0, EntryNext = 1, EntryLast = 2 };

  enum { STACKWALK_MAX_NAMELEN = 1024 };

  // One frame as the symbol engine describes it.
  struct CallstackEntry {
    // The frame's instruction address.
    std::uint64_t offset;
    // The symbol's name as stored.
    char name[STACKWALK_MAX_NAMELEN];
    // The demangled name.
    char undName[STACKWALK_MAX_NAMELEN];
    // The demangled name with its parameters.
    char undFullName[STACKWALK_MAX_NAMELEN];
    // The address's distance from the symbol's start.
    std::uint64_t offsetFromSmybol;
    // The address's distance from its line's first instruction.
    std::uint32_t offsetFromLine;
    // The source line, 0 when unknown.
    std::uint32_t lineNumber;
    // The source file, empty when unknown.
    char lineFileName[STACKWALK_MAX_NAMELEN];
    // The kind of symbol information of the module.
    std::uint32_t symType;
    // symType as text.
    const char* symTypeString;
    // The module's name.
    char moduleName[STACKWALK_MAX_NAMELEN];
    // The module's load address.
    std::uint64_t baseOfImage;
    // The module's file.
    char loadedImageName[STACKWALK_MAX_NAMELEN];
  };

  // Reads memory of the walked process; nonzero on success.
  typedef int (*PReadProcessMemoryRoutine)(HANDLE hProcess, std::uint64_t qwBaseAddress,
                                           void* lpBuffer, std::uint32_t nSize,
                                           std::uint32_t* lpNumberOfBytesRead, void* pUserData);

  // The current process.
  explicit StackWalker(int options = 63, const char* szSymPath = nullptr);
  // A walker of the given process, with options and symbol search path.
  StackWalker(int options, const char* szSymPath, std::uint32_t dwProcessId, HANDLE hProcess);
  // A walker of the given process with the default options.
  StackWalker(std::uint32_t dwProcessId, HANDLE hProcess);
  virtual ~StackWalker();

  // Copies would share the owned binding.
  StackWalker(const StackWalker&) = delete;
  StackWalker& operator=(const StackWalker&) = delete;

  // Starts the symbol engine and loads every module; nonzero on success.
  int LoadModules();

  // The thread's call stack as text, from `context` or from here.
  std::wstring ShowCallstack(HANDLE hThread, const CONTEXT* context = nullptr,
                             PReadProcessMemoryRoutine readMemoryFunction = nullptr,
                             void* pUserData = nullptr);

 protected:
  // Reports the symbol engine's start (diagnostic level).
  virtual void OnSymInit(const char* szSearchPath, std::uint32_t symOptions,
                         const char* szUserName);
  // Reports one loaded module (diagnostic level).
  virtual void OnLoadModule(const char* img, const char* mod, std::uint64_t baseAddr,
                            std::uint32_t size, std::uint32_t result, const char* symType,
                            const char* pdbName, std::uint64_t fileVersion);
  // Formats one frame's line.
  virtual void OnCallstackEntry(CallstackEntryType eType, CallstackEntry& entry);
  // Reports a failed symbol-engine call.
  virtual void OnDbgHelpErr(const char* szFuncName, std::uint32_t gle, std::uint64_t addr);
  // Appends one line to the stack text.
  virtual void OnOutput(const char* szText);

  // Reads the walked process's memory for the walk.
  static int KW_CALLBACK myReadProcMem(HANDLE hProcess, std::uint64_t qwBaseAddress, void* lpBuffer,
                                       std::uint32_t nSize, std::uint32_t* lpNumberOfBytesRead);

  // The detail level from "StackTraceInfoDepth": 3 for 2, else 1.
  int GetStackTraceInfoDepth();
  // The calling thread's registers.
  void GetCurrentContext(CONTEXT& context, std::uint32_t contextFlags);
  // Captures the calling thread's registers; false when it cannot.
  bool MyRtlCaptureContext(CONTEXT& context);
  // Appends narrow text to the stack text as wide text.
  void BuildStacktraceString(const char* szText);

 private:
  friend class DbgHelpBinding;

  // The steps of ShowCallstack, with the walker's access.
  struct Steps;

  void construct(int options, const char* szSymPath, std::uint32_t dwProcessId, HANDLE hProcess);
  // Writes one formatted line (cut to 1023 characters) through OnOutput.
  void output(const char* format, ...);

  DbgHelpBinding* m_pSw;
  HANDLE m_hProcess;
  std::uint32_t m_nProcessId;
  int m_nModulesLoaded;
  char* m_pszSymPath;
  int m_nOptions;
  std::wstring m_strStackTrace;
  int m_nStackTraceInfoLevel;
};

}  // namespace kw
