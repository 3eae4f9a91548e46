// StackWalker: starts the symbol engine through DbgHelpBinding, walks the
// stack through os/StackWalking.h and writes the trace's lines.
#include <kw/Registry.h>
#include <kw/StackWalker.h>
#include <kw/Tools.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "DbgHelpBinding.h"
#include "os/Desktop.h"
#include "os/ErrorText.h"
#include "os/Registry.h"
#include "os/StackWalking.h"

namespace kw {

// The walkers of the process share one symbol engine.
std::recursive_mutex& os::stackWalkingLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

const int kOptionFileVersion = 0x08;
const int kOptionSymbolPath = 0x10;
const int kLevelCallstack = 0x1;
const int kLevelDiagnostics = 0x2;
const std::uint32_t kContextFull = 0x10007;

// The process-wide read routine of the last ShowCallstack and its user data.
StackWalker::PReadProcessMemoryRoutine s_readMemoryFunction = nullptr;
void* s_readMemoryUserData = nullptr;

// The length of the last text written, which the next one reserves: a
// program throws from a few places, and its texts come in a few sizes.
// Walks hold the walking lock.
std::size_t s_lastTextLength = 2048;

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

// One output line, built without printf (every exception writes about ten)
// and cut as the formatted output would be.
class Line {
 public:
  Line& text(const char* text) {
    const std::size_t length = std::min(std::strlen(text), kRoom - m_nLength);
    std::memcpy(m_aBuffer + m_nLength, text, length);
    m_nLength += length;
    return *this;
  }
  Line& decimal(int value) {
    unsigned magnitude = static_cast<unsigned>(value);
    if (value < 0) {
      text("-");
      magnitude = 0u - magnitude;
    }
    return digits(magnitude, 10, 1, "0123456789");
  }
  // %08X
  Line& hex8(unsigned value) { return digits(value, 16, 8, "0123456789ABCDEF"); }
  // %x
  Line& hex(unsigned value) { return digits(value, 16, 1, "0123456789abcdef"); }
  const char* end() {
    m_aBuffer[m_nLength] = '\0';
    return m_aBuffer;
  }

 private:
  static const std::size_t kRoom = StackWalker::STACKWALK_MAX_NAMELEN - 1;

  Line& digits(unsigned value, unsigned base, int width, const char* symbols) {
    char reversed[16];
    int count = 0;
    do {
      reversed[count++] = symbols[value % base];
      value /= base;
    } while (value != 0);
    while (count < width) reversed[count++] = '0';
    while (count > 0 && m_nLength < kRoom) m_aBuffer[m_nLength++] = reversed[--count];
    return *this;
  }

  char m_aBuffer[StackWalker::STACKWALK_MAX_NAMELEN];
  std::size_t m_nLength = 0;
};

// A frame's line of the call stack.
const char* frameLine(const StackWalker::CallstackEntry& entry, Line& line) {
  const char* name = entry.undFullName[0] ? entry.undFullName
                     : entry.undName[0]   ? entry.undName
                     : entry.name[0]      ? entry.name
                                          : "(function-name not available)";
  if (entry.lineFileName[0]) {
    line.text(entry.lineFileName).text(" (").decimal(static_cast<int>(entry.lineNumber));
  } else {
    line.hex8(low32(entry.offset)).text(" (");
    line.text(entry.moduleName[0] ? entry.moduleName : "(module-name not available)");
    line.text("): (filename not available");
  }
  return line.text("): ").text(name).text("\r\r\n").end();
}

bool isAscii(const char* text) {
  unsigned char high = 0;
  for (const char* c = text; *c; ++c) high |= static_cast<unsigned char>(*c);
  return (high & 0x80) == 0;
}

}  // namespace

// Hidden: a nested class takes its visibility from the exported walker.
struct __attribute__((visibility("hidden"))) StackWalker::Steps {
  static bool plain(const StackWalker& walker);
  static bool startingContext(StackWalker& walker, HANDLE hThread, const CONTEXT* context,
                              CONTEXT& copy, os::WalkStart& start);
  static void reportFrames(StackWalker& walker, const std::vector<os::FrameReport>& frames);
  static void fillEntry(StackWalker& walker, const os::FrameReport& report, CallstackEntry& entry);
  static void appendKeptLine(StackWalker& walker, const os::FrameReport& report,
                             CallstackEntry& entry);
};

StackWalker::StackWalker(int options, const char* szSymPath) {
  construct(options, szSymPath, static_cast<std::uint32_t>(os::currentProcessId()),
            os::thisProcess());
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
  m_nOptions = options;
  m_nModulesLoaded = 0;
  m_hProcess = hProcess;
  m_nProcessId = dwProcessId;
  m_pSw = new DbgHelpBinding(this, hProcess, dwProcessId);
  m_pszSymPath = nullptr;
  if (szSymPath) {
    std::size_t length = std::strlen(szSymPath) + 1;
    m_pszSymPath = new char[length];
    std::memcpy(m_pszSymPath, szSymPath, length);
    m_nOptions |= kOptionSymbolPath;
  }
  m_nStackTraceInfoLevel = GetStackTraceInfoDepth();
}

StackWalker::~StackWalker() {
  delete[] m_pszSymPath;
  delete m_pSw;
}

int StackWalker::GetStackTraceInfoDepth() {
  // Read again only when the store may have changed: every exception asks.
  static std::mutex lock;
  static bool known = false;
  static std::uint64_t knownStamp = 0;
  static int knownLevel = kLevelCallstack;
  std::lock_guard<std::mutex> guard(lock);
  std::uint64_t stamp = 0;
  const bool watched = os::regChangeStamp(HKEY_LOCAL_MACHINE, stamp);
  if (watched && known && stamp == knownStamp) return knownLevel;
  Registry registry(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  knownLevel = registry.read(L"StackTraceInfoDepth", 0) == 2 ? kLevelCallstack | kLevelDiagnostics
                                                             : kLevelCallstack;
  known = watched;
  knownStamp = stamp;
  return knownLevel;
}

int StackWalker::LoadModules() {
  std::lock_guard<std::recursive_mutex> lock(os::stackWalkingLock());
  if (!m_pSw) {
    os::setLastError(DbgHelpBinding::kInitFailed);
    return 0;
  }
  if (m_nModulesLoaded) return 1;

  // A plain walker shows neither the engine's start nor its modules.
  const bool plain = Steps::plain(*this);
  bool started = m_pSw->Init({(m_nOptions & kOptionSymbolPath) != 0, m_pszSymPath,
                              (m_nOptions & kOptionFileVersion) != 0, !plain});
  if (!started) {
    OnDbgHelpErr("Error while initializing dbghelp.dll", 0, 0);
    os::setLastError(DbgHelpBinding::kInitFailed);
    return 0;
  }
  if (!m_pSw->LoadModules(!plain)) return 0;
  m_nModulesLoaded = 1;
  return 1;
}

std::wstring StackWalker::ShowCallstack(HANDLE hThread, const CONTEXT* context,
                                        PReadProcessMemoryRoutine readMemoryFunction,
                                        void* pUserData) {
  std::lock_guard<std::recursive_mutex> lock(os::stackWalkingLock());
  m_strStackTrace.clear();
  // Room for the text at once rather than growing line by line.
  m_strStackTrace.reserve(s_lastTextLength);
  if (!m_nModulesLoaded) LoadModules();
  if (!m_pSw || !m_pSw->isBound()) {
    os::setLastError(DbgHelpBinding::kInitFailed);
    return std::wstring();
  }
  s_readMemoryFunction = readMemoryFunction;
  s_readMemoryUserData = pUserData;

  // A copy: the walk updates it frame by frame.
  CONTEXT copy;
  os::WalkStart start = os::WalkStart::kGiven;
  if (!Steps::startingContext(*this, hThread, context, copy, start)) return std::wstring();

  // Called from here, so that the walk's first frame is this function.
  std::vector<os::FrameReport> frames;
  std::uint32_t failureCode = 0;
  std::uint64_t failureAddress = 0;
  bool walked = os::walkStack(m_pSw->session(), hThread, copy, start, &myReadProcMem, frames,
                              failureCode, failureAddress);
  Steps::reportFrames(*this, frames);
  if (!walked) OnDbgHelpErr("StackWalk64", failureCode, failureAddress);

  if (!context) os::resumeThread(hThread);
  s_lastTextLength = std::max<std::size_t>(m_strStackTrace.size(), 256);
  // Nothing reads the text after the walk; the next walk starts it afresh.
  return std::move(m_strStackTrace);
}

// The context the walk starts from; false when the thread's cannot be read.
bool StackWalker::Steps::startingContext(StackWalker& walker, HANDLE hThread,
                                         const CONTEXT* context, CONTEXT& copy,
                                         os::WalkStart& start) {
  start = os::WalkStart::kGiven;
  if (context) {
    copy = *context;
    return true;
  }
  if (hThread == os::thisThread()) {
    walker.GetCurrentContext(copy, kContextFull);
    start = os::WalkStart::kCapturedHere;
    return true;
  }
  return os::suspendedThreadContext(hThread, copy, kContextFull);
}

// A walker of this very class writing call stack lines only: its callbacks
// write nothing but frame lines, and a frame's line the same way every time.
bool StackWalker::Steps::plain(const StackWalker& walker) {
  return typeid(walker) == typeid(StackWalker) && walker.m_nStackTraceInfoLevel == kLevelCallstack;
}

// Hands each frame to OnCallstackEntry, and what could not be found to
// OnDbgHelpErr.
void StackWalker::Steps::reportFrames(StackWalker& walker,
                                      const std::vector<os::FrameReport>& frames) {
  // A plain walker's frame line is made once and kept with the frame's
  // symbols. Subclasses and diagnostics see every entry.
  const bool plain = Steps::plain(walker);
  // Zeroed when first needed (a walk of kept lines needs none); every later
  // frame empties what the one before filled.
  CallstackEntry entry;
  bool zeroed = false;
  for (std::size_t number = 0; number < frames.size(); ++number) {
    const os::FrameReport& frame = frames[number];
    const bool kept = plain && frame.address != 0 && frame.symbols;
    // A plain walker writes nothing for a frame without an address.
    const bool silent = plain && frame.address == 0;
    if (!silent && (!kept || frame.symbols->keptLine.empty())) {
      if (!zeroed)
        std::memset(&entry, 0, sizeof(entry));
      else
        clearEntry(entry);
      zeroed = true;
      entry.offset = frame.address;
    }
    if (kept) {
      appendKeptLine(walker, frame, entry);
    } else if (!silent) {
      if (frame.address != 0 && frame.symbols) fillEntry(walker, frame, entry);
      walker.OnCallstackEntry(number == 0 ? EntryFirst : EntryNext, entry);
    }
    if (frame.last) {
      // A plain walker writes nothing for the end of the walk.
      if (!plain) walker.OnCallstackEntry(EntryLast, entry);
      os::setLastError(0);
      break;
    }
  }
}

void StackWalker::Steps::fillEntry(StackWalker& walker, const os::FrameReport& report,
                                   CallstackEntry& entry) {
  const os::FrameSymbols& frame = *report.symbols;
  if (frame.symbolFound) {
    copyName(entry.name, frame.name);
    copyName(entry.undName, frame.undecoratedName);
    copyName(entry.undFullName, frame.fullName);
    entry.offsetFromSmybol = frame.offsetFromSymbol;
  } else {
    walker.OnDbgHelpErr("SymGetSymFromAddr64", frame.symbolError, report.address);
  }
  if (frame.lineLookup) {
    if (frame.lineFound) {
      entry.lineNumber = frame.lineNumber;
      entry.offsetFromLine = frame.offsetFromLine;
      copyName(entry.lineFileName, frame.fileName);
    } else {
      walker.OnDbgHelpErr("SymGetLineFromAddr64", frame.lineError, report.address);
    }
  }
  if (frame.moduleFound) {
    entry.symType = frame.symType < 0 ? 0 : static_cast<std::uint32_t>(frame.symType);
    entry.symTypeString = DbgHelpBinding::symTypeText(frame.symType);
    copyName(entry.moduleName, frame.moduleName);
    entry.baseOfImage = frame.moduleBase;
    copyName(entry.loadedImageName, frame.loadedImageName);
  } else {
    walker.OnDbgHelpErr("SymGetModuleInfo64", frame.moduleError, report.address);
  }
}

// A plain walker's line for a frame with symbols: made as OnCallstackEntry
// makes it the first time, then appended as it stands. A line that is not
// plain ASCII is widened through the locale every time.
void StackWalker::Steps::appendKeptLine(StackWalker& walker, const os::FrameReport& report,
                                        CallstackEntry& entry) {
  const os::FrameSymbols& symbols = *report.symbols;
  if (!symbols.keptLine.empty()) {
    walker.m_strStackTrace += symbols.keptLine;
    return;
  }
  fillEntry(walker, report, entry);
  Line line;
  const char* text = frameLine(entry, line);
  const std::size_t start = walker.m_strStackTrace.size();
  walker.OnOutput(text);
  if (!isAscii(text)) return;
  symbols.keptLine.assign(walker.m_strStackTrace, start, std::wstring::npos);
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
  if (m_nStackTraceInfoLevel & kLevelDiagnostics) {
    Line line;
    line.text("SymInit: Symbol-SearchPath: '").text(szSearchPath).text("', symOptions: ");
    line.decimal(static_cast<int>(symOptions)).text(", UserName: '").text(szUserName);
    OnOutput(line.text("'\r\r\n").end());
  }
  // Written once: the system's version does not change while the process runs.
  static const std::string versionLine = [] {
    os::OsVersion version;
    if (!os::osVersion(version)) return std::string();
    Line line;
    line.text("OS-Version: ").decimal(static_cast<int>(version.major)).text(".");
    line.decimal(static_cast<int>(version.minor)).text(".");
    line.decimal(static_cast<int>(version.build));
    line.text(" (").text(version.servicePack.c_str()).text(") 0x").hex(version.suiteMask);
    return std::string(line.text("-0x").hex(version.productType).text("\r\r\n").end());
  }();
  if (!versionLine.empty()) OnOutput(versionLine.c_str());
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
  Line line;
  OnOutput(frameLine(entry, line));
}

void StackWalker::OnDbgHelpErr(const char* szFuncName, std::uint32_t gle, std::uint64_t addr) {
  if (!(m_nStackTraceInfoLevel & kLevelDiagnostics)) return;
  Line line;
  line.text("ERROR: ").text(szFuncName).text(", GetLastError: ").decimal(static_cast<int>(gle));
  OnOutput(line.text(" (Address: ").hex8(low32(addr)).text(")\r\r\n").end());
}

void StackWalker::OnOutput(const char* szText) { BuildStacktraceString(szText); }

void StackWalker::BuildStacktraceString(const char* szText) {
  if (!isAscii(szText)) {
    m_strStackTrace += Tools::widenNarrowString(szText);
    return;
  }
  // Plain ASCII, as nearly every line is, widens byte by byte.
  const auto* bytes = reinterpret_cast<const unsigned char*>(szText);
  const std::size_t length = std::strlen(szText);
  const std::size_t end = m_strStackTrace.size();
  m_strStackTrace.resize(end + length);
  wchar_t* target = &m_strStackTrace[end];
  for (std::size_t i = 0; i < length; ++i) target[i] = static_cast<wchar_t>(bytes[i]);
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
