// Stack walking on Windows: dbghelp.dll bound at run time, modules listed by
// tool help. Twin of os/posix/StackWalking.cpp.
#include "os/StackWalking.h"

// clang-format off
#include <windows.h>
#include <dbghelp.h>
#include <tlhelp32.h>
// clang-format on

#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

namespace kw::os {

namespace {

using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
using SymGetModuleInfo64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PIMAGEHLP_MODULE64);
using SymGetOptionsFn = DWORD(WINAPI*)();
using SymGetSymFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PIMAGEHLP_SYMBOL64);
using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using SymLoadModule64Fn = DWORD64(WINAPI*)(HANDLE, HANDLE, PCSTR, PCSTR, DWORD64, DWORD);
using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                    PREAD_PROCESS_MEMORY_ROUTINE64,
                                    PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                    PTRANSLATE_ADDRESS_ROUTINE64);
using UnDecorateSymbolNameFn = DWORD(WINAPI*)(PCSTR, PSTR, DWORD, DWORD);
using SymGetSearchPathFn = BOOL(WINAPI*)(HANDLE, PSTR, DWORD);

// The module record as the engine's older callers size it.
constexpr DWORD kModuleRecordSize = 584;
constexpr std::size_t kNameLength = 1024;

// The registers a walk starts from, by processor.
#if defined(__x86_64__)
constexpr DWORD kMachineType = IMAGE_FILE_MACHINE_AMD64;
DWORD64& programCounter(CONTEXT& context) { return context.Rip; }
DWORD64& framePointer(CONTEXT& context) { return context.Rbp; }
DWORD64& stackPointer(CONTEXT& context) { return context.Rsp; }
#else
constexpr DWORD kMachineType = IMAGE_FILE_MACHINE_I386;
DWORD& programCounter(CONTEXT& context) { return context.Eip; }
DWORD& framePointer(CONTEXT& context) { return context.Ebp; }
DWORD& stackPointer(CONTEXT& context) { return context.Esp; }
// The engine's records as 32-bit callers size them.
static_assert(sizeof(IMAGEHLP_SYMBOL64) + kNameLength == 1056, "symbol record");
static_assert(sizeof(IMAGEHLP_LINE64) == 24, "line record");
#endif
static_assert(sizeof(IMAGEHLP_MODULE64) >= kModuleRecordSize, "module record");

template <typename Fn>
bool bind(HMODULE library, const char* name, Fn& entry) {
  entry = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return entry != nullptr;
}

// bind for each name and entry in turn, until one is missing.
inline bool bindEach(HMODULE) { return true; }

template <typename Fn, typename... Rest>
bool bindEach(HMODULE library, const char* name, Fn& entry, Rest&... rest) {
  return bind(library, name, entry) && bindEach(library, rest...);
}

bool fileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A private copy first (the ".local" redirection leaves it to the default
// search), then the debugging tools' copies, then the system's.
HMODULE loadDbgHelp() {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (!fileExists(std::wstring(exe) + L".local")) {
    wchar_t programFiles[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH) > 0) {
      for (const wchar_t* tools : {L"\\Debugging Tools for Windows\\dbghelp.dll",
                                   L"\\Debugging Tools for Windows 64-Bit\\dbghelp.dll"}) {
        std::wstring path = std::wstring(programFiles) + tools;
        if (fileExists(path)) {
          if (HMODULE library = LoadLibraryW(path.c_str())) return library;
        }
      }
    }
  }
  return LoadLibraryW(L"dbghelp.dll");
}

// The engine's narrow names are in the ANSI code page.
std::string narrow(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string result(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], size, nullptr, nullptr);
  return result;
}

// (base, size) of every module: the session stays valid while this holds.
using ModuleSet = std::vector<std::pair<DWORD64, DWORD>>;

template <typename Each>
bool forEachModule(DWORD processId, Each each) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32W entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  bool any = false;
  for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
    each(entry);
    any = true;
  }
  CloseHandle(snapshot);
  return any;
}

ModuleSet currentModules(DWORD processId) {
  ModuleSet set;
  forEachModule(processId, [&](const MODULEENTRY32W& entry) {
    set.emplace_back(reinterpret_cast<DWORD64>(entry.modBaseAddr), entry.modBaseSize);
  });
  return set;
}

std::uint64_t fileVersionOf(const char* image) {
  static HMODULE version = LoadLibraryW(L"version.dll");
  using SizeFn = DWORD(WINAPI*)(LPCSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  SizeFn sizeOf = nullptr;
  InfoFn info = nullptr;
  QueryFn query = nullptr;
  if (!version || !bind(version, "GetFileVersionInfoSizeA", sizeOf) ||
      !bind(version, "GetFileVersionInfoA", info) || !bind(version, "VerQueryValueW", query))
    return 0;
  DWORD handle = 0;
  DWORD size = sizeOf(image, &handle);
  if (size == 0) return 0;
  std::vector<char> data(size);
  if (!info(image, handle, size, data.data())) return 0;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!query(data.data(), L"\\", reinterpret_cast<LPVOID*>(&fixed), &length) || !fixed) return 0;
  return (static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
}

}  // namespace

namespace {

struct LibraryFree {
  void operator()(HMODULE library) const { FreeLibrary(library); }
};

}  // namespace

class SymbolSession {
 public:
  ~SymbolSession() {
    if (symCleanup) symCleanup(process);
  }

  bool bindAll() {
    HMODULE dll = library.get();
    // The line lookup and the search-path query are optional.
    bind(dll, "SymGetLineFromAddr64", symGetLineFromAddr64);
    bind(dll, "SymGetSearchPath", symGetSearchPath);
    return bindEach(dll, "SymCleanup", symCleanup, "SymFunctionTableAccess64",
                    symFunctionTableAccess64, "SymGetModuleBase64", symGetModuleBase64,
                    "SymGetModuleInfo64", symGetModuleInfo64, "SymGetOptions", symGetOptions,
                    "SymGetSymFromAddr64", symGetSymFromAddr64, "SymInitialize", symInitialize,
                    "SymLoadModule64", symLoadModule64, "SymSetOptions", symSetOptions,
                    "StackWalk64", stackWalk64, "UnDecorateSymbolName", unDecorateSymbolName);
  }

  // The record is filled in a larger buffer, then only its known part kept.
  bool moduleInfo(DWORD64 address, IMAGEHLP_MODULE64& module) {
    std::memset(&module, 0, sizeof module);
    std::vector<char> buffer(4096, 0);
    auto* record = reinterpret_cast<IMAGEHLP_MODULE64*>(buffer.data());
    record->SizeOfStruct = kModuleRecordSize;
    if (!symGetModuleInfo64(process, address, record)) {
      SetLastError(ERROR_DLL_INIT_FAILED);
      return false;
    }
    std::memcpy(&module, record, kModuleRecordSize);
    module.SizeOfStruct = kModuleRecordSize;
    return true;
  }

  std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree> library;
  HANDLE process = nullptr;
  DWORD processId = 0;
  bool readFileVersions = false;
  ModuleSet modules;

  SymCleanupFn symCleanup = nullptr;
  PFUNCTION_TABLE_ACCESS_ROUTINE64 symFunctionTableAccess64 = nullptr;
  SymGetLineFromAddr64Fn symGetLineFromAddr64 = nullptr;
  PGET_MODULE_BASE_ROUTINE64 symGetModuleBase64 = nullptr;
  SymGetModuleInfo64Fn symGetModuleInfo64 = nullptr;
  SymGetOptionsFn symGetOptions = nullptr;
  SymGetSymFromAddr64Fn symGetSymFromAddr64 = nullptr;
  SymInitializeFn symInitialize = nullptr;
  SymLoadModule64Fn symLoadModule64 = nullptr;
  SymSetOptionsFn symSetOptions = nullptr;
  StackWalk64Fn stackWalk64 = nullptr;
  UnDecorateSymbolNameFn unDecorateSymbolName = nullptr;
  SymGetSearchPathFn symGetSearchPath = nullptr;
};

namespace {

EngineError errorNote(const char* function, DWORD code) {
  EngineError error;
  error.function = function;
  error.code = code;
  return error;
}

// A new session, or the one it replaces ended for a new start. Null when the
// library is missing or incomplete.
std::shared_ptr<SymbolSession> emptySession(std::shared_ptr<SymbolSession> previous) {
  if (previous) {
    previous->symCleanup(previous->process);
    return previous;
  }
  auto session = std::make_shared<SymbolSession>();
  session->library.reset(loadDbgHelp());
  if (!session->library || !session->bindAll()) {
    session->library.reset();
    session->symCleanup = nullptr;
    return nullptr;
  }
  return session;
}

}  // namespace

std::shared_ptr<SymbolSession> startSymbolSession(std::shared_ptr<SymbolSession> previous,
                                                  HANDLE process, std::uint32_t processId,
                                                  const char* searchPath, const char*,
                                                  bool readFileVersions, StartNotes& notes) {
  // The module set as the walker found it, before the library loads.
  ModuleSet modules = currentModules(processId);
  // The engine is one per process: the session it replaces starts again in
  // place, for every walker that holds it.
  std::shared_ptr<SymbolSession> session = emptySession(std::move(previous));
  if (!session) return nullptr;
  session->process = process;
  session->processId = processId;
  session->modules = std::move(modules);
  session->readFileVersions = readFileVersions;

  if (!session->symInitialize(process, searchPath, FALSE))
    notes.errors.push_back(errorNote("SymInitialize", GetLastError()));
  DWORD options = session->symGetOptions();
  options |= SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS;
  options &= ~(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
  notes.options = session->symSetOptions(options);

  char path[kNameLength] = {};
  if (session->symGetSearchPath && !session->symGetSearchPath(process, path, kNameLength))
    notes.errors.push_back(errorNote("SymGetSearchPath", GetLastError()));
  notes.searchPath = path;
  char user[kNameLength] = {};
  DWORD userLength = kNameLength;
  GetUserNameA(user, &userLength);
  notes.userName = user;
  return session;
}

bool sessionCurrent(const SymbolSession& session, HANDLE process, std::uint32_t processId,
                    bool readFileVersions) {
  return session.process == process && session.readFileVersions == readFileVersions &&
         session.modules == currentModules(processId);
}

bool loadSessionModules(SymbolSession& session, std::vector<ModuleNote>& notes) {
  std::vector<ModuleNote> loaded;
  bool any = forEachModule(session.processId, [&](const MODULEENTRY32W& entry) {
    ModuleNote note;
    note.image = narrow(entry.szExePath);
    note.name = narrow(entry.szModule);
    note.base = reinterpret_cast<DWORD64>(entry.modBaseAddr);
    note.size = entry.modBaseSize;
    if (session.symLoadModule64(session.process, nullptr, note.image.c_str(), note.name.c_str(),
                                note.base, note.size) == 0)
      note.result = GetLastError();
    if (session.readFileVersions) note.fileVersion = fileVersionOf(note.image.c_str());
    IMAGEHLP_MODULE64 module;
    if (session.moduleInfo(note.base, module)) {
      note.symType = static_cast<int>(module.SymType);
      note.loadedImageName = module.LoadedImageName;
    }
    loaded.push_back(note);
  });
  if (!any) return false;
  notes.insert(notes.end(), loaded.begin(), loaded.end());
  return true;
}

// Loading noted every module.
void describeSessionModules(SymbolSession&, std::vector<ModuleNote>&) {}

std::string buildSymbolSearchPath(const char* userPath) {
  std::string path;
  if (userPath) path += std::string(userPath) + ";";
  path += ".;";
  char buffer[kNameLength] = {};
  if (GetCurrentDirectoryA(kNameLength, buffer) > 0) path += std::string(buffer) + ";";
  if (GetModuleFileNameA(nullptr, buffer, kNameLength) > 0) {
    std::string folder = buffer;
    std::size_t cut = folder.find_last_of("\\/:");
    if (cut != std::string::npos) folder.erase(cut);
    if (!folder.empty()) path += folder + ";";
  }
  for (const char* name : {"_NT_SYMBOL_PATH", "_NT_ALTERNATE_SYMBOL_PATH"}) {
    if (GetEnvironmentVariableA(name, buffer, kNameLength) > 0) path += std::string(buffer) + ";";
  }
  if (GetEnvironmentVariableA("SYSTEMROOT", buffer, kNameLength) > 0)
    path += std::string(buffer) + ";" + buffer + "\\system32;";
  const char* server = "http://msdl.microsoft.com/download/symbols";
  if (GetEnvironmentVariableA("SYSTEMDRIVE", buffer, kNameLength) > 0)
    path += std::string("SRV*") + buffer + "\\websymbols*" + server + ";";
  else
    path += std::string("SRV*c:\\websymbols*") + server + ";";
  // The engine's buffer holds 4096 characters.
  if (path.size() > 4095) path.resize(4095);
  return path;
}

namespace {

// The walk's first frame: the context's registers, flat addressing.
STACKFRAME64 firstFrame(CONTEXT& context) {
  STACKFRAME64 frame;
  std::memset(&frame, 0, sizeof frame);
  frame.AddrPC.Offset = programCounter(context);
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = framePointer(context);
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = stackPointer(context);
  frame.AddrStack.Mode = AddrModeFlat;
  return frame;
}

// The symbol at the address, by its stored, short and full names.
void lookUpSymbol(SymbolSession& session, std::uint64_t address, FrameSymbols& found) {
  std::vector<char> buffer(sizeof(IMAGEHLP_SYMBOL64) + kNameLength, 0);
  auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer.data());
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol->MaxNameLength = kNameLength;
  DWORD64 displacement = 0;
  if (!session.symGetSymFromAddr64(session.process, address, &displacement, symbol)) {
    found.symbolError = GetLastError();
    return;
  }
  found.symbolFound = true;
  found.name = symbol->Name;
  found.offsetFromSymbol = displacement;
  char name[kNameLength] = {};
  session.unDecorateSymbolName(symbol->Name, name, kNameLength, UNDNAME_NAME_ONLY);
  found.undecoratedName = name;
  std::memset(name, 0, sizeof name);
  session.unDecorateSymbolName(symbol->Name, name, kNameLength, UNDNAME_COMPLETE);
  found.fullName = name;
}

void lookUpLine(SymbolSession& session, std::uint64_t address, FrameSymbols& found) {
  IMAGEHLP_LINE64 line;
  std::memset(&line, 0, sizeof line);
  line.SizeOfStruct = sizeof line;
  DWORD displacement = 0;
  if (!session.symGetLineFromAddr64(session.process, address, &displacement, &line)) {
    found.lineError = GetLastError();
    return;
  }
  found.lineFound = true;
  found.lineNumber = line.LineNumber;
  found.fileName = line.FileName ? line.FileName : "";
  found.offsetFromLine = displacement;
}

void lookUpModule(SymbolSession& session, std::uint64_t address, FrameSymbols& found) {
  IMAGEHLP_MODULE64 module;
  if (!session.moduleInfo(address, module)) {
    found.moduleError = GetLastError();
    return;
  }
  found.moduleFound = true;
  found.symType = static_cast<int>(module.SymType);
  found.moduleName = module.ModuleName;
  found.moduleBase = module.BaseOfImage;
  found.loadedImageName = module.LoadedImageName;
}

}  // namespace

__attribute__((noinline)) bool walkStack(SymbolSession& session, HANDLE thread, CONTEXT& context,
                                         WalkStart start, ReadMemory readMemory,
                                         std::vector<FrameReport>& frames,
                                         std::uint32_t& failureCode,
                                         std::uint64_t& failureAddress) {
  int skip = 0;
  if (start == WalkStart::kCapturedHere) {
    RtlCaptureContext(&context);
    skip = 1;  // this function's own frame
  }
  STACKFRAME64 frame = firstFrame(context);
  for (int number = 0;; ++number) {
    // The reader's types name the same widths as the engine's (uint32_t for
    // DWORD); its calling convention the compiler has checked.
    if (!session.stackWalk64(kMachineType, session.process, thread, &frame, &context,
                             reinterpret_cast<PREAD_PROCESS_MEMORY_ROUTINE64>(readMemory),
                             session.symFunctionTableAccess64, session.symGetModuleBase64,
                             nullptr)) {
      failureCode = GetLastError();
      failureAddress = frame.AddrPC.Offset;
      return false;
    }
    FrameReport report;
    report.address = frame.AddrPC.Offset;
    report.last = frame.AddrReturn.Offset == 0;
    if (number >= skip) {
      if (report.address != 0) {
        auto symbols = std::make_shared<FrameSymbols>();
        symbols->lineLookup = session.symGetLineFromAddr64 != nullptr;
        lookUpSymbol(session, report.address, *symbols);
        if (symbols->lineLookup) lookUpLine(session, report.address, *symbols);
        lookUpModule(session, report.address, *symbols);
        report.symbols = std::move(symbols);
      }
      frames.push_back(report);
    }
    if (report.last) return true;
  }
}

int readProcessMemory(HANDLE process, std::uint64_t address, void* buffer, std::uint32_t size,
                      std::uint32_t* read) {
  SIZE_T count = 0;
  BOOL done = ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &count);
  if (read) *read = static_cast<std::uint32_t>(count);
  return done ? 1 : 0;
}

bool captureContext(CONTEXT& context) {
  static bool available = true;
  if (!available) return false;
  using CaptureFn = VOID(WINAPI*)(PCONTEXT);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  CaptureFn capture = nullptr;
  if (!kernel || !bind(kernel, "RtlCaptureContext", capture)) {
    available = false;
    return false;
  }
  capture(&context);
  return true;
}

void clearContext(CONTEXT& context, std::uint32_t flags) {
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = flags;
}

void approximateContext(CONTEXT& context, const void* instruction) {
  programCounter(context) = reinterpret_cast<std::uintptr_t>(instruction);
  framePointer(context) = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  stackPointer(context) = reinterpret_cast<std::uintptr_t>(&context);
}

bool suspendedThreadContext(HANDLE thread, CONTEXT& context, std::uint32_t flags) {
  SuspendThread(thread);
  clearContext(context, flags);
  if (GetThreadContext(thread, &context)) return true;
  ResumeThread(thread);
  return false;
}

void resumeThread(HANDLE thread) { ResumeThread(thread); }

bool osVersion(OsVersion& version) {
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
  version = OsVersion{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
                      info.szCSDVersion,   info.wSuiteMask,     info.wProductType};
  return true;
}

}  // namespace kw::os
