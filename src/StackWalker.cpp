#include <kw/Registry.h>
#include <kw/StackWalker.h>
#include <kw/Tools.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "DbgHelpBinding.h"
#include "os/ErrorText.h"
#include "os/StackWalking.h"

namespace kw {

namespace {

const int kOptionFileVersion = 0x08;
const int kOptionSymbolPath = 0x10;
const int kLevelCallstack = 0x1;
const int kLevelDiagnostics = 0x2;
const std::uint32_t kContextFull = 0x10007;
const int kDllInitFailed = 1114;

// The process-wide read routine of the last ShowCallstack and its user data.
StackWalker::PReadProcessMemoryRoutine s_readMemoryFunction = nullptr;
void* s_readMemoryUserData = nullptr;

// The low 32 bits, which the lines print as eight hex digits.
unsigned int low32(std::uint64_t address) { return static_cast<unsigned int>(address); }

void copyName(char* target, const std::string& source) {
  std::size_t length = std::min<std::size_t>(source.size(), StackWalker::STACKWALK_MAX_NAMELEN - 1);
  std::memcpy(target, source.data(), length);
  target[length] = '\0';
}

// An entry as a zeroed one reads: names empty, numbers 0.
void clearEntry(StackWalker::CallstackEntry& entry) {
  for (char* name : {entry.name, entry.undName, entry.undFullName, entry.lineFileName,
                     entry.moduleName, entry.loadedImageName})
    name[0] = '\0';
  entry.offset = entry.offsetFromSmybol = entry.baseOfImage = 0;
  entry.offsetFromLine = entry.lineNumber = entry.symType = 0;
  entry.symTypeString = nullptr;
}

}  // namespace

StackWalker::StackWalker(int options, const char* szSymPath) {
  construct(options, szSymPath, GetCurrentProcessId(), GetCurrentProcess());
}

StackWalker::StackWalker(int options, const char* szSymPath, std::uint32_t dwProcessId,
                         HANDLE hProcess) {
  construct(options, szSymPath, dwProcessId, hProcess);
}

StackWalker::StackWalker(std::uint32_t dwProcessId, HANDLE hProcess) {
  construct(63, nullptr, dwProcessId, hProcess);
}

void StackWalker::construct(int options, const char* szSymPath, std::uint32_t dwProcessId,
                            HANDLE hProcess) {
  m_options = options;
  m_modulesLoaded = 0;
  m_hProcess = hProcess;
  m_dwProcessId = dwProcessId;
  m_sw = new DbgHelpBinding(this, hProcess, dwProcessId);
  m_szSymPath = nullptr;
  if (szSymPath) {
    std::size_t length = std::strlen(szSymPath) + 1;
    m_szSymPath = new char[length];
    std::memcpy(m_szSymPath, szSymPath, length);
    m_options |= kOptionSymbolPath;
  }
  m_nStackTraceInfoLevel = GetStackTraceInfoDepth();
}

StackWalker::~StackWalker() {
  delete[] m_szSymPath;
  delete m_sw;
}

int StackWalker::GetStackTraceInfoDepth() {
  Registry registry(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  return registry.read(L"StackTraceInfoDepth", 0) == 2 ? kLevelCallstack | kLevelDiagnostics
                                                       : kLevelCallstack;
}

int StackWalker::LoadModules() {
  std::lock_guard<std::recursive_mutex> lock(os::stackWalkingLock());
  if (!m_sw) {
    os::setLastError(kDllInitFailed);
    return 0;
  }
  if (m_modulesLoaded) return 1;

  std::string searchPath;
  if (m_options & kOptionSymbolPath) searchPath = os::buildSymbolSearchPath(m_szSymPath);
  bool started = m_sw->Init((m_options & kOptionSymbolPath) ? searchPath.c_str() : nullptr,
                            (m_options & kOptionFileVersion) != 0);
  if (!started) {
    OnDbgHelpErr("Error while initializing dbghelp.dll", 0, 0);
    os::setLastError(kDllInitFailed);
    return 0;
  }
  if (!m_sw->LoadModules()) return 0;
  m_modulesLoaded = 1;
  return 1;
}

std::wstring StackWalker::ShowCallstack(HANDLE hThread, const CONTEXT* context,
                                        PReadProcessMemoryRoutine readMemoryFunction,
                                        void* pUserData) {
  std::lock_guard<std::recursive_mutex> lock(os::stackWalkingLock());
  m_strStackTrace.clear();
  // Room for a typical stack at once rather than growing line by line.
  m_strStackTrace.reserve(2048);
  if (!m_modulesLoaded) LoadModules();
  if (!m_sw || !m_sw->isBound()) {
    os::setLastError(kDllInitFailed);
    return std::wstring();
  }
  s_readMemoryFunction = readMemoryFunction;
  s_readMemoryUserData = pUserData;

  // A copy: the walk updates it frame by frame.
  CONTEXT copy;
  os::WalkStart start = os::WalkStart::kGiven;
  if (context) {
    copy = *context;
  } else if (hThread == GetCurrentThread()) {
    GetCurrentContext(copy, kContextFull);
    start = os::WalkStart::kCapturedHere;
  } else if (!os::suspendedThreadContext(hThread, copy, kContextFull)) {
    return std::wstring();
  }

  std::vector<os::FrameReport> frames;
  std::uint32_t failureCode = 0;
  std::uint64_t failureAddress = 0;
  bool walked = os::walkStack(m_sw->session(), hThread, copy, start, &myReadProcMem, frames,
                              failureCode, failureAddress);

  // Zeroed once; every later frame empties what the one before filled.
  CallstackEntry entry;
  std::memset(&entry, 0, sizeof(entry));
  for (std::size_t number = 0; number < frames.size(); ++number) {
    const os::FrameReport& frame = frames[number];
    if (number > 0) clearEntry(entry);
    entry.offset = frame.address;
    if (frame.address != 0) {
      if (frame.symbolFound) {
        copyName(entry.name, frame.name);
        copyName(entry.undName, frame.undecoratedName);
        copyName(entry.undFullName, frame.fullName);
        entry.offsetFromSmybol = frame.offsetFromSymbol;
      } else {
        OnDbgHelpErr("SymGetSymFromAddr64", frame.symbolError, frame.address);
      }
      if (frame.lineLookup) {
        if (frame.lineFound) {
          entry.lineNumber = frame.lineNumber;
          entry.offsetFromLine = frame.offsetFromLine;
          copyName(entry.lineFileName, frame.fileName);
        } else {
          OnDbgHelpErr("SymGetLineFromAddr64", frame.lineError, frame.address);
        }
      }
      if (frame.moduleFound) {
        entry.symType = frame.symType < 0 ? 0 : static_cast<std::uint32_t>(frame.symType);
        entry.symTypeString = DbgHelpBinding::symTypeText(frame.symType);
        copyName(entry.moduleName, frame.moduleName);
        entry.baseOfImage = frame.moduleBase;
        copyName(entry.loadedImageName, frame.loadedImageName);
      } else {
        OnDbgHelpErr("SymGetModuleInfo64", frame.moduleError, frame.address);
      }
    }
    OnCallstackEntry(number == 0 ? EntryFirst : EntryNext, entry);
    if (frame.last) {
      OnCallstackEntry(EntryLast, entry);
      os::setLastError(0);
      break;
    }
  }
  if (!walked) OnDbgHelpErr("StackWalk64", failureCode, failureAddress);

  if (!context) os::resumeThread(hThread);
  return m_strStackTrace;
}

int KW_CALLBACK StackWalker::myReadProcMem(HANDLE hProcess, std::uint64_t qwBaseAddress,
                                           void* lpBuffer, std::uint32_t nSize,
                                           std::uint32_t* lpNumberOfBytesRead) {
  if (s_readMemoryFunction)
    return s_readMemoryFunction(hProcess, qwBaseAddress, lpBuffer, nSize, lpNumberOfBytesRead,
                                s_readMemoryUserData);
  return os::readProcessMemory(hProcess, qwBaseAddress, lpBuffer, nSize, lpNumberOfBytesRead);
}

void StackWalker::GetCurrentContext(CONTEXT& context, std::uint32_t contextFlags) {
  os::clearContext(context, contextFlags);
  if (MyRtlCaptureContext(context)) return;
  os::approximateContext(context, __builtin_return_address(0));
}

bool StackWalker::MyRtlCaptureContext(CONTEXT& context) { return os::captureContext(context); }

void StackWalker::OnSymInit(const char* szSearchPath, std::uint32_t symOptions,
                            const char* szUserName) {
  if (m_nStackTraceInfoLevel & kLevelDiagnostics)
    output("SymInit: Symbol-SearchPath: '%s', symOptions: %d, UserName: '%s'\r\r\n", szSearchPath,
           static_cast<int>(symOptions), szUserName);
  os::OsVersion version;
  if (os::osVersion(version))
    output("OS-Version: %d.%d.%d (%s) 0x%x-0x%x\r\r\n", static_cast<int>(version.major),
           static_cast<int>(version.minor), static_cast<int>(version.build),
           version.servicePack.c_str(), version.suiteMask, version.productType);
}

void StackWalker::OnLoadModule(const char* img, const char* mod, std::uint64_t baseAddr,
                               std::uint32_t size, std::uint32_t result, const char* symType,
                               const char* pdbName, std::uint64_t fileVersion) {
  if (!(m_nStackTraceInfoLevel & kLevelDiagnostics)) return;
  if (fileVersion == 0) {
    output("%s:%s (%08X), size: %d (result: %d), SymType: '%s', PDB: '%s'\r\r\n", img, mod,
           low32(baseAddr), static_cast<int>(size), static_cast<int>(result), symType, pdbName);
    return;
  }
  output(
      "%s:%s (%08X), size: %d (result: %d), SymType: '%s', PDB: '%s', fileVersion: "
      "%d.%d.%d.%d\r\r\n",
      img, mod, low32(baseAddr), static_cast<int>(size), static_cast<int>(result), symType, pdbName,
      static_cast<int>((fileVersion >> 48) & 0xFFFF),
      static_cast<int>((fileVersion >> 32) & 0xFFFF),
      static_cast<int>((fileVersion >> 16) & 0xFFFF), static_cast<int>(fileVersion & 0xFFFF));
}

void StackWalker::OnCallstackEntry(CallstackEntryType eType, CallstackEntry& entry) {
  if (!(m_nStackTraceInfoLevel & kLevelCallstack) || eType == EntryLast || entry.offset == 0)
    return;
  const char* name = entry.undFullName[0] ? entry.undFullName
                     : entry.undName[0]   ? entry.undName
                     : entry.name[0]      ? entry.name
                                          : "(function-name not available)";
  if (entry.lineFileName[0]) {
    output("%s (%d): %s\r\r\n", entry.lineFileName, static_cast<int>(entry.lineNumber), name);
    return;
  }
  output("%08X (%s): %s: %s\r\r\n", low32(entry.offset),
         entry.moduleName[0] ? entry.moduleName : "(module-name not available)",
         "(filename not available)", name);
}

void StackWalker::OnDbgHelpErr(const char* szFuncName, std::uint32_t gle, std::uint64_t addr) {
  if (m_nStackTraceInfoLevel & kLevelDiagnostics)
    output("ERROR: %s, GetLastError: %d (Address: %08X)\r\r\n", szFuncName, static_cast<int>(gle),
           low32(addr));
}

void StackWalker::OnOutput(const char* szText) { BuildStacktraceString(szText); }

void StackWalker::BuildStacktraceString(const char* szText) {
  // Plain ASCII, as nearly every line is, widens byte by byte.
  std::size_t length = 0;
  bool ascii = true;
  for (; szText[length]; ++length)
    ascii = ascii && static_cast<unsigned char>(szText[length]) < 0x80;
  if (!ascii) {
    m_strStackTrace += Tools::widenNarrowString(szText);
    return;
  }
  std::size_t end = m_strStackTrace.size();
  m_strStackTrace.resize(end + length);
  for (std::size_t i = 0; i < length; ++i)
    m_strStackTrace[end + i] = static_cast<wchar_t>(static_cast<unsigned char>(szText[i]));
}

void StackWalker::output(const char* format, ...) {
  char buffer[STACKWALK_MAX_NAMELEN];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof(buffer), format, arguments);
  va_end(arguments);
  OnOutput(buffer);
}

}  // namespace kw
