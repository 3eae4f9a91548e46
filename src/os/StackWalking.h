// Stack walking and symbol lookup for StackWalker: dbghelp bound at run time
// on Windows, libunwind and libdw on Linux.
//
// Starting the symbol engine and loading every module's symbols is the
// expensive part of a walk, so the process keeps one session and hands it to
// every walker until the process's modules (or the search path) change; the
// walker's side (DbgHelpBinding) decides when, and keeps what starting and
// loading reported for every walker that takes the session over.
#pragma once

#include <kw/StackWalker.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kw::os {

// The calling process and thread as the walker's interface takes them:
// Windows' pseudo-handles, which stand for the caller wherever they are
// passed and which no real handle equals.
inline HANDLE thisProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
inline HANDLE thisThread() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2)); }

// Serialises the walkers of the process; recursive, since a walker's own
// output may build an exception. Every call below is made with it held.
std::recursive_mutex& stackWalkingLock();

// A call of the engine that failed, and its error.
struct EngineError {
  std::string function;
  std::uint32_t code = 0;
};

// What starting the engine reported: the calls that failed, then the search
// path it uses, its options and the user it runs as.
struct StartNotes {
  std::vector<EngineError> errors;
  std::string searchPath;
  std::uint32_t options = 0;
  std::string userName;
};

// One module of the process as the engine loaded it.
struct ModuleNote {
  std::string image, name;
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t result = 0;  // the load's error; 0 when it loaded
  int symType = -1;          // -1 when the module information could not be read
  std::string loadedImageName;
  std::uint64_t fileVersion = 0;
};

class SymbolSession;

// Binds the debugging library and starts the engine for the process with the
// search path (null for none), noting what it reports. `userPath` is what
// the path was built from, for a platform that builds it again as it opens
// modules. `previous` is the session this one replaces: where the engine is
// one per process it is restarted in place, for every walker that holds it.
// Null when the library is missing or incomplete.
std::shared_ptr<SymbolSession> startSymbolSession(std::shared_ptr<SymbolSession> previous,
                                                  HANDLE process, std::uint32_t processId,
                                                  const char* searchPath, const char* userPath,
                                                  bool readFileVersions, StartNotes& notes);

// Whether the session serves a walker of the process as a new one would: the
// process's modules are still those it knows. `readFileVersions` makes module
// loading read each module's file version.
bool sessionCurrent(const SymbolSession& session, HANDLE process, std::uint32_t processId,
                    bool readFileVersions);

// Loads every module of the process into the session; false when no module
// could be listed. Called until it succeeds, then never again for the
// session. Appends what loading found of each module; a platform that opens
// a module only when a frame needs it appends nothing.
bool loadSessionModules(SymbolSession& session, std::vector<ModuleNote>& notes);

// Appends a note of each loaded module that loading appended none of,
// opening every module's files and debug data.
void describeSessionModules(SymbolSession& session, std::vector<ModuleNote>& notes);

// The symbol search path built from the environment: the user's path (if
// any) first, then the places the platform looks.
std::string buildSymbolSearchPath(const char* userPath);

// What the engine found at a frame's address.
struct FrameSymbols {
  bool symbolFound = false;
  std::uint32_t symbolError = 0;
  std::string name, undecoratedName, fullName;
  std::uint64_t offsetFromSymbol = 0;

  bool lineLookup = false;  // the engine can map addresses to lines
  bool lineFound = false;
  std::uint32_t lineError = 0;
  std::string fileName;
  std::uint32_t lineNumber = 0;
  std::uint32_t offsetFromLine = 0;

  bool moduleFound = false;
  std::uint32_t moduleError = 0;
  int symType = -1;
  std::string moduleName, loadedImageName;
  std::uint64_t moduleBase = 0;

  // The line a plain walker wrote for the frame, kept so that the next walk
  // through it appends it as it stands (walks hold the walking lock).
  mutable std::wstring keptLine;
};

// One frame as the walk found it. Frames at one address share what was
// found there, which is looked up once.
struct FrameReport {
  std::uint64_t address = 0;
  bool last = false;                            // no return address: the walk ends here
  std::shared_ptr<const FrameSymbols> symbols;  // null for address 0
};

// How the starting context was obtained.
enum class WalkStart {
  // The caller's context, whose frames are still live (a fault, or another
  // thread's context).
  kGiven,
  // Captured on this thread by a function that has returned since, so its
  // frames are gone: the walk captures again and starts at walkStack's caller.
  kCapturedHere,
};

// The memory reader of a walk: the process-wide routine, or a direct read;
// the debugging library calls it.
typedef int(KW_CALLBACK* ReadMemory)(HANDLE process, std::uint64_t address, void* buffer,
                                     std::uint32_t size, std::uint32_t* read);

// Walks from the context, looking up each frame. False when the walk itself
// failed, with the error and the program counter it failed at; the frames
// found so far are kept.
bool walkStack(SymbolSession& session, HANDLE thread, CONTEXT& context, WalkStart start,
               ReadMemory readMemory, std::vector<FrameReport>& frames, std::uint32_t& failureCode,
               std::uint64_t& failureAddress);

// Reads memory of the process directly, storing the count read.
int readProcessMemory(HANDLE process, std::uint64_t address, void* buffer, std::uint32_t size,
                      std::uint32_t* read);

// The calling thread's register state, where the platform captures it; the
// lookup of the capture routine fails once and for all when it is missing.
bool captureContext(CONTEXT& context);
// Zeroes the context and sets its flags.
void clearContext(CONTEXT& context, std::uint32_t flags);
// The fallback: an instruction pointer inside the caller and the current
// frame and stack pointers.
void approximateContext(CONTEXT& context, const void* instruction);
// The context of another thread of the process, suspended; false (the thread
// resumed again) when it cannot be read.
bool suspendedThreadContext(HANDLE thread, CONTEXT& context, std::uint32_t flags);
void resumeThread(HANDLE thread);

// major.minor.build (service-pack text) suite mask - product type.
struct OsVersion {
  std::uint32_t major, minor, build;
  std::string servicePack;
  std::uint32_t suiteMask, productType;
};
bool osVersion(OsVersion& version);

}  // namespace kw::os
