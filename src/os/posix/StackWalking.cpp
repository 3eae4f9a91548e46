// libunwind walks the frames (from a signal's context too); libdw's dwfl
// lists the modules from /proc/self/maps and resolves symbols, source files
// and lines; names are demangled with the runtime's demangler. Twin of
// os/win32/StackWalking.cpp.
#define UNW_LOCAL_ONLY
#include "os/StackWalking.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <libunwind.h>
#include <link.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

#include "os/ErrorText.h"
#include "os/posix/DebugFileCache.h"
#include "os/posix/OwnedFile.h"

namespace kw::os {

namespace {

const std::uint32_t kSymOptions = (0x10 | 0x200) & ~0x6u;  // lines, no critical-error boxes
const int kSymNone = 0, kSymExport = 4, kSymDia = 7;
// The error of a lookup that finds nothing at the address.
const std::uint32_t kNotFound = ENXIO;
// A corrupt stack could make libunwind go round; no real stack is this deep.
const int kMaxFrames = 4096;
// Frames looked up per session before the lookups are forgotten: a program
// throws from a bounded set of places, and memory stays flat.
const std::size_t kMaxCachedFrames = 4096;

// The module set: dl_iterate_phdr's counts of loads and unloads.
struct ModuleSetStamp {
  unsigned long long adds = 0, subs = 0;
  bool operator==(const ModuleSetStamp& other) const {
    return adds == other.adds && subs == other.subs;
  }
};

int readStamp(dl_phdr_info* info, std::size_t size, void* data) {
  auto* stamp = static_cast<ModuleSetStamp*>(data);
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
    stamp->adds = info->dlpi_adds;
    stamp->subs = info->dlpi_subs;
  }
  return 1;
}

ModuleSetStamp currentStamp() {
  ModuleSetStamp stamp;
  dl_iterate_phdr(&readStamp, &stamp);
  return stamp;
}

std::string baseName(const std::string& path) {
  std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string userName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
  return found ? found->pw_name : "";
}

// The demangled name without its parameter list and qualifiers.
std::string withoutParameters(const std::string& name) {
  std::size_t end = name.find_last_of(')');
  if (end == std::string::npos) return name;
  int depth = 0;
  for (std::size_t i = end + 1; i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) return i == 0 ? name : name.substr(0, i);
  }
  return name;
}

std::string demangled(const char* name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || !text) return name;
  std::string result = text;
  std::free(text);
  return result;
}

}  // namespace

namespace {

struct DwflEnd {
  void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};

}  // namespace

class SymbolSession {
 public:
  // The symbol type of a module; looked up once.
  int symType(Dwfl_Module* module) {
    auto found = symTypes.find(module);
    if (found != symTypes.end()) return found->second;
    Dwarf_Addr bias = 0;
    int type = kSymNone;
    if (dwfl_module_getdwarf(module, &bias))
      type = kSymDia;
    else if (dwfl_module_getsymtab(module) > 0)
      type = kSymExport;
    symTypes[module] = type;
    return type;
  }

  // What a frame resolved to, by frame address and kind of address.
  std::shared_ptr<const FrameSymbols> cachedFrame(Dwarf_Addr key) const {
    auto found = frames.find(key);
    return found == frames.end() ? nullptr : found->second;
  }
  void cacheFrame(Dwarf_Addr key, std::shared_ptr<const FrameSymbols> symbols) {
    if (frames.size() >= kMaxCachedFrames) frames.clear();
    frames[key] = std::move(symbols);
  }

  std::unique_ptr<Dwfl, DwflEnd> dwfl;
  Dwfl_Callbacks callbacks{};
  char* debuginfoPath = nullptr;
  std::string debuginfoPathText;
  bool hasSearchPath = false;
  std::string searchPath;
  ModuleSetStamp stamp;
  std::vector<EngineNote> startNotes;
  bool modulesReported = false;
  bool modulesDescribed = false;
  std::vector<EngineNote> moduleNotes;
  std::map<Dwfl_Module*, int> symTypes;
  std::unordered_map<Dwarf_Addr, std::shared_ptr<const FrameSymbols>> frames;
};

namespace {

std::shared_ptr<SymbolSession> s_session;

int collectModule(Dwfl_Module* module, void**, const char*, Dwarf_Addr, void* data) {
  static_cast<std::vector<Dwfl_Module*>*>(data)->push_back(module);
  return DWARF_CB_OK;
}

int attachSession(Dwfl_Module*, void** userData, const char*, Dwarf_Addr, void* session) {
  *userData = session;
  return DWARF_CB_OK;
}

// The checksum of a debug link, over no more than the file's size.
std::uint32_t fileCrc32(int fd) {
  static std::uint32_t table[256];
  if (table[1] == 0)
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  std::uint32_t crc = 0xFFFFFFFFu;
  struct stat info;
  if (fstat(fd, &info) != 0) return crc;
  unsigned char buffer[65536];
  off_t done = 0;
  for (ssize_t count; done < info.st_size; done += count) {
    const auto want = static_cast<std::size_t>(
        std::min<off_t>(static_cast<off_t>(sizeof buffer), info.st_size - done));
    count = pread(fd, buffer, want, done);
    if (count < 0 && errno == EINTR)
      count = 0;
    else if (count <= 0)
      break;
    for (ssize_t i = 0; i < count; ++i) crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

// The folders of a debug-info path, without their +/- marks.
std::vector<std::string> debuginfoPlaces(const std::string& path) {
  std::vector<std::string> places;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find(':', start), path.size());
    std::string place = path.substr(start, end - start);
    start = end + 1;
    if (!place.empty() && (place[0] == '+' || place[0] == '-')) place.erase(0, 1);
    places.push_back(place);
  }
  return places;
}

// The module's debug file named by its build ID below the absolute folders
// of the search path, as libdw names it. libdw's own lookup would keep the
// file it opened, and so bypass the cache of uncompressed copies.
int openByBuildId(Dwfl_Module* module, const std::string& path, char** debugFileName) {
  const unsigned char* bits = nullptr;
  GElf_Addr address = 0;
  int length = dwfl_module_build_id(module, &bits, &address);
  if (length < 2) return -1;
  const std::string id = hexText(bits, static_cast<std::size_t>(length));
  const std::string name = "/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
  for (const std::string& place : debuginfoPlaces(path)) {
    if (place.empty() || place[0] != '/') continue;
    const std::string candidate = place + name;
    int fd = openRegularFile(candidate.c_str());
    if (fd < 0) continue;
    fd = uncompressedDebugFile(fd, &id);
    if (fd < 0) continue;
    free(*debugFileName);
    *debugFileName = realpath(candidate.c_str(), nullptr);
    if (!*debugFileName) *debugFileName = strdup(candidate.c_str());
    return fd;
  }
  return -1;
}

// A module's separate debug file, from local folders only: by build ID, then
// by its debug link next to it, in the relative folders of the search path
// and below its absolute ones. libdw's own search would end by asking the
// debug-info servers named in the environment: building an exception must
// never reach the network.
int findLocalDebuginfo(Dwfl_Module* module, void** userData, const char* moduleName,
                       Dwarf_Addr base, const char* fileName, const char* debuglink,
                       GElf_Word debuglinkCrc, char** debugFileName) {
  // Asked for a dwz file that the debug file found before refers to, when
  // the module already knows its debug file: that is libdw's to find.
  const char* knownDebugFile = nullptr;
  dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &knownDebugFile);
  const bool forModule = knownDebugFile == *debugFileName;
  int fd = -1;
  if (forModule && *userData)
    fd = openByBuildId(module, static_cast<SymbolSession*>(*userData)->debuginfoPathText,
                       debugFileName);
  if (fd < 0)
    fd = dwfl_build_id_find_debuginfo(module, userData, moduleName, base, fileName, debuglink,
                                      debuglinkCrc, debugFileName);
  if (fd >= 0 || !debuglink || !fileName || fileName[0] != '/' || !*userData) return fd;
  const std::string& path = static_cast<SymbolSession*>(*userData)->debuginfoPathText;
  const std::string file = fileName;
  const std::string folder = file.substr(0, file.find_last_of('/'));
  for (const std::string& place : debuginfoPlaces(path)) {
    std::string candidate = place.empty()     ? folder + "/" + debuglink
                            : place[0] == '/' ? place + folder + "/" + debuglink
                                              : folder + "/" + place + "/" + debuglink;
    if (candidate == file) continue;
    // Anything of that name may sit beside a program run from a shared
    // folder: a FIFO or a device would hang every exception.
    fd = openRegularFile(candidate.c_str());
    if (fd < 0) continue;
    if (debuglinkCrc == 0 || fileCrc32(fd) == debuglinkCrc) {
      *debugFileName = strdup(candidate.c_str());
      return uncompressedDebugFile(fd);
    }
    close(fd);
  }
  return -1;
}

Dwarf_Addr moduleBase(Dwfl_Module* module) {
  Dwarf_Addr low = 0;
  dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
  return low;
}

}  // namespace

std::recursive_mutex& stackWalkingLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::shared_ptr<SymbolSession> startSymbolSession(HANDLE, std::uint32_t, const char* searchPath,
                                                  bool, std::vector<EngineNote>& notes) {
  ModuleSetStamp stamp = currentStamp();
  std::shared_ptr<SymbolSession> session = s_session;
  if (session && session->stamp == stamp && session->hasSearchPath == (searchPath != nullptr) &&
      (!searchPath || session->searchPath == searchPath)) {
    notes.insert(notes.end(), session->startNotes.begin(), session->startNotes.end());
    return session;
  }

  session = std::make_shared<SymbolSession>();
  session->stamp = stamp;
  session->hasSearchPath = searchPath != nullptr;
  // dwfl's own places (the module's folder, its .debug folder, /usr/lib/debug)
  // come after the caller's folders.
  std::string debuginfo;
  if (searchPath) {
    session->searchPath = searchPath;
    for (char c : session->searchPath) debuginfo += c == ';' ? ':' : c;
  }
  session->debuginfoPathText = debuginfo + ":.debug:/usr/lib/debug";
  session->debuginfoPath = &session->debuginfoPathText[0];
  session->callbacks.find_elf = dwfl_linux_proc_find_elf;
  session->callbacks.find_debuginfo = findLocalDebuginfo;
  session->callbacks.debuginfo_path = &session->debuginfoPath;
  session->dwfl.reset(dwfl_begin(&session->callbacks));
  if (!session->dwfl) {
    setLastError(1114);
    return nullptr;
  }

  EngineNote start;
  start.kind = EngineNote::kSymInit;
  // The folders in the walker's own notation: the caller's, then dwfl's.
  start.text = session->searchPath + ".debug;/usr/lib/debug";
  start.code = kSymOptions;
  start.text2 = userName();
  session->startNotes.push_back(start);
  notes.push_back(start);
  s_session = session;
  return session;
}

bool loadSessionModules(SymbolSession& session, std::vector<EngineNote>& notes, bool describe) {
  if (!session.modulesReported) {
    dwfl_report_begin(session.dwfl.get());
    int reported = dwfl_linux_proc_report(session.dwfl.get(), getpid());
    dwfl_report_end(session.dwfl.get(), nullptr, nullptr);
    if (reported != 0) {
      setLastError(reported > 0 ? reported : kNotFound);
      return false;
    }
    std::vector<Dwfl_Module*> modules;
    dwfl_getmodules(session.dwfl.get(), &collectModule, &modules, 0);
    if (modules.empty()) return false;
    dwfl_getmodules(session.dwfl.get(), &attachSession, &session, 0);
    session.modulesReported = true;
  }
  // Opening every module's files and debug data is what makes a first walk
  // slow; a walk that prints no module lines opens only its frames' modules.
  if (!describe) return true;
  if (!session.modulesDescribed) {
    std::vector<Dwfl_Module*> modules;
    dwfl_getmodules(session.dwfl.get(), &collectModule, &modules, 0);
    std::sort(modules.begin(), modules.end(),
              [](Dwfl_Module* a, Dwfl_Module* b) { return moduleBase(a) < moduleBase(b); });
    for (Dwfl_Module* module : modules) {
      Dwarf_Addr bias = 0;
      bool opened = dwfl_module_getelf(module, &bias) != nullptr;
      Dwarf_Addr low = 0, high = 0;
      const char* mainFile = nullptr;
      const char* debugFile = nullptr;
      const char* name =
          dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, &mainFile, &debugFile);
      EngineNote note;
      note.kind = EngineNote::kModule;
      note.text = mainFile ? mainFile : (name ? name : "");
      note.text2 = baseName(note.text);
      note.address = low;
      note.size = static_cast<std::uint32_t>(high - low);
      note.code = opened ? 0 : kNotFound;
      note.symType = session.symType(module);
      dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, &mainFile, &debugFile);
      note.loadedImageName = debugFile ? debugFile : (mainFile ? mainFile : "");
      session.moduleNotes.push_back(note);
    }
    session.modulesDescribed = true;
  }
  notes.insert(notes.end(), session.moduleNotes.begin(), session.moduleNotes.end());
  return true;
}

namespace {

// The folder of the program, which does not change while it runs.
const std::string& programFolder() {
  static const std::string folder = [] {
    char buffer[PATH_MAX] = {};
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return std::string();
    std::string path(buffer, static_cast<std::size_t>(length));
    std::size_t cut = path.find_last_of('/');
    if (cut != std::string::npos) path.erase(cut);
    return path;
  }();
  return folder;
}

}  // namespace

std::string buildSymbolSearchPath(const char* userPath) {
  std::string path;
  if (userPath) path += std::string(userPath) + ";";
  path += ".;";
  char buffer[PATH_MAX] = {};
  if (getcwd(buffer, sizeof buffer)) path += std::string(buffer) + ";";
  if (!programFolder().empty()) path += programFolder() + ";";
  return path;
}

namespace {

// The module whose mapping holds the address; libdw answers with the
// nearest module below for an address in no module (generated code).
Dwfl_Module* moduleAt(Dwfl* dwfl, Dwarf_Addr address) {
  Dwfl_Module* module = dwfl_addrmodule(dwfl, address);
  Dwarf_Addr low = 0, high = 0;
  if (!module) return nullptr;
  dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, nullptr, nullptr);
  return address >= low && address < high ? module : nullptr;
}

// The source line of the address, when the unit that holds the address has
// one at or before it inside the function; libdw otherwise answers with the
// nearest line before the address, which may belong to another function or
// another unit.
Dwfl_Line* lineOf(Dwfl_Module* module, Dwarf_Addr address, Dwarf_Addr functionStart,
                  Dwarf_Addr functionEnd) {
  Dwarf_Addr bias = 0;
  Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
  Dwfl_Line* line = unit ? dwfl_module_getsrc(module, address) : nullptr;
  if (!line) return nullptr;
  Dwarf_Die* lineUnit = dwfl_linecu(line);
  if (!lineUnit || dwarf_dieoffset(lineUnit) != dwarf_dieoffset(unit)) return nullptr;
  Dwarf_Addr lineAddress = 0;
  if (!dwfl_lineinfo(line, &lineAddress, nullptr, nullptr, nullptr, nullptr)) return nullptr;
  if (lineAddress < functionStart || (functionEnd > functionStart && lineAddress >= functionEnd))
    return nullptr;
  return line;
}

// What the frame at frameAddress finds at address (the call before a
// return address).
void lookUp(SymbolSession& session, FrameSymbols& frame, Dwarf_Addr frameAddress,
            Dwarf_Addr address) {
  Dwfl_Module* module = moduleAt(session.dwfl.get(), address);
  frame.lineLookup = true;
  if (!module) {
    frame.symbolError = frame.lineError = frame.moduleError = kNotFound;
    return;
  }
  GElf_Off offset = 0;
  GElf_Sym symbol;
  const char* name =
      dwfl_module_addrinfo(module, address, &offset, &symbol, nullptr, nullptr, nullptr);
  // Without a symbol, any line of the unit may stand for the address.
  Dwarf_Addr functionStart = 0, functionEnd = 0;
  if (name) {
    frame.symbolFound = true;
    frame.name = name;
    frame.fullName = demangled(name);
    frame.undecoratedName = withoutParameters(frame.fullName);
    frame.offsetFromSymbol = frameAddress - (address - offset);
    functionStart = address - offset;
    functionEnd = functionStart + symbol.st_size;
  } else {
    frame.symbolError = kNotFound;
  }

  Dwfl_Line* line = lineOf(module, address, functionStart, functionEnd);
  Dwarf_Addr lineAddress = 0;
  int lineNumber = 0;
  const char* file =
      line ? dwfl_lineinfo(line, &lineAddress, &lineNumber, nullptr, nullptr, nullptr) : nullptr;
  if (file) {
    frame.lineFound = true;
    frame.fileName = file;
    frame.lineNumber = static_cast<std::uint32_t>(lineNumber);
    frame.offsetFromLine = static_cast<std::uint32_t>(frameAddress - lineAddress);
  } else {
    frame.lineError = kNotFound;
  }

  Dwarf_Addr low = 0;
  const char* mainFile = nullptr;
  const char* debugFile = nullptr;
  const char* moduleName =
      dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, &mainFile, &debugFile);
  frame.moduleFound = true;
  frame.symType = session.symType(module);
  frame.moduleName = baseName(mainFile ? mainFile : (moduleName ? moduleName : ""));
  frame.moduleBase = low;
  frame.loadedImageName = debugFile ? debugFile : (mainFile ? mainFile : "");

  // The pages libdw read to index the units stay mapped otherwise; the
  // frame cache means they are rarely read again.
  Dwarf_Addr bias = 0;
  Dwarf* dwarf = dwfl_module_getdwarf(module, &bias);
  std::size_t size = 0;
  char* image = dwarf ? elf_rawfile(dwarf_getelf(dwarf), &size) : nullptr;
  if (image) releaseFilePages(image, size);
}

// lookUp, once per frame address, kind of address and session.
void lookUpCached(SymbolSession& session, FrameReport& frame, Dwarf_Addr address) {
  const Dwarf_Addr key = frame.address * 2 + (address == frame.address ? 1 : 0);
  frame.symbols = session.cachedFrame(key);
  if (frame.symbols) return;
  auto symbols = std::make_shared<FrameSymbols>();
  lookUp(session, *symbols, frame.address, address);
  frame.symbols = symbols;
  session.cacheFrame(key, std::move(symbols));
}

}  // namespace

namespace {

struct FdeBases {
  void* tbase;
  void* dbase;
  void* func;
};

}  // namespace

namespace {

// The runtime's own unwinder, taken from libgcc_s by name. libunwind exports
// the same entry points, and whichever of the two a program happens to list
// first would answer; libunwind's blocks and unblocks signals around every
// step, four system calls a frame, where the runtime's makes none.
struct RuntimeUnwinder {
  _Unwind_Reason_Code (*backtrace)(_Unwind_Trace_Fn, void*) = nullptr;
  _Unwind_Ptr (*getIPInfo)(_Unwind_Context*, int*) = nullptr;
  _Unwind_Word (*getGR)(_Unwind_Context*, int) = nullptr;
  // The lookup of a code address's unwind entry.
  const void* (*findFDE)(void*, FdeBases*) = nullptr;

  bool usable() const { return backtrace && getIPInfo && getGR && findFDE; }
};

template <typename Function>
void bindRuntime(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

const RuntimeUnwinder& runtimeUnwinder() {
  static const RuntimeUnwinder unwinder = [] {
    RuntimeUnwinder found;
    // Loaded already (this library depends on it); the handle is kept.
    void* library = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return found;
    bindRuntime(library, "_Unwind_Backtrace", found.backtrace);
    bindRuntime(library, "_Unwind_GetIPInfo", found.getIPInfo);
    bindRuntime(library, "_Unwind_GetGR", found.getGR);
    bindRuntime(library, "_Unwind_Find_FDE", found.findFDE);
    return found;
  }();
  return unwinder;
}

// One frame as the runtime's unwinder reports it.
struct QuickFrame {
  std::uintptr_t ip;
  bool exact;  // interrupted by a signal: the ip is the instruction itself
  std::uintptr_t framePointer;
};

_Unwind_Reason_Code collectFrame(_Unwind_Context* context, void* data) {
  auto* frames = static_cast<std::vector<QuickFrame>*>(data);
  int beforeInstruction = 0;
  const RuntimeUnwinder& unwinder = runtimeUnwinder();
  std::uintptr_t ip = unwinder.getIPInfo(context, &beforeInstruction);
  frames->push_back({ip, beforeInstruction != 0, unwinder.getGR(context, 6)});
  return frames->size() < static_cast<std::size_t>(kMaxFrames) ? _URC_NO_REASON : _URC_NORMAL_STOP;
}

// A walk that ended where libunwind ends too: where the unwind data says the
// stack ends, or in code without unwind data whose frame pointer is null (the
// program's entry). Any other end (code without unwind data, a frame limit)
// is left to libunwind, which follows frame pointers there.
bool endsProperly(_Unwind_Reason_Code code, const std::vector<QuickFrame>& frames) {
  if (code != _URC_END_OF_STACK || frames.empty()) return false;
  const QuickFrame& last = frames.back();
  FdeBases bases{};
  return last.framePointer == 0 ||
         runtimeUnwinder().findFDE(reinterpret_cast<void*>(last.ip - (last.exact ? 0 : 1)),
                                   &bases) != nullptr;
}

// Looks up the runtime unwinder's frames after the first, which is the
// walk's own.
void reportQuickFrames(SymbolSession& session, const std::vector<QuickFrame>& quick,
                       std::vector<FrameReport>& frames) {
  frames.reserve(frames.size() + quick.size());
  for (std::size_t number = 1; number < quick.size(); ++number) {
    FrameReport frame;
    frame.address = quick[number].ip;
    frame.last = number + 1 == quick.size();
    // A signal frame is looked up at its ip, as is the frame it interrupted.
    bool signalFrame = number + 1 < quick.size() && quick[number + 1].exact;
    if (frame.address != 0)
      lookUpCached(session, frame,
                   quick[number].exact || signalFrame ? frame.address : frame.address - 1);
    frames.push_back(frame);
  }
}

}  // namespace

__attribute__((noinline)) bool walkStack(SymbolSession& session, HANDLE, CONTEXT& context,
                                         WalkStart start, ReadMemory,
                                         std::vector<FrameReport>& frames,
                                         std::uint32_t& failureCode,
                                         std::uint64_t& failureAddress) {
  // The calling thread's own stack: the runtime's unwinder finds its frames
  // without a system call. The first frame is this function's own.
  if (start == WalkStart::kCapturedHere && runtimeUnwinder().usable()) {
    std::vector<QuickFrame> quick;
    quick.reserve(64);
    if (endsProperly(runtimeUnwinder().backtrace(&collectFrame, &quick), quick)) {
      reportQuickFrames(session, quick, frames);
      return true;
    }
  }

  unw_context_t here;
  unw_cursor_t cursor;
  int skip = 0;
  int status;
  if (start == WalkStart::kCapturedHere) {
    unw_getcontext(&here);
    status = unw_init_local(&cursor, &here);
    skip = 1;  // this function's own frame
  } else {
    status = unw_init_local2(&cursor, &context, UNW_INIT_SIGNAL_FRAME);
  }
  if (status < 0) {
    failureCode = static_cast<std::uint32_t>(-status);
    failureAddress = 0;
    return false;
  }

  // The first frame of a given context, and a frame interrupted by a signal,
  // stand at the instruction itself; every other frame at a return address,
  // whose call is the byte before.
  bool exact = start == WalkStart::kGiven;
  for (int number = 0; number < kMaxFrames; ++number) {
    unw_word_t ip = 0;
    unw_get_reg(&cursor, UNW_REG_IP, &ip);
    bool signalFrame = unw_is_signal_frame(&cursor) > 0;
    int stepped = unw_step(&cursor);
    if (number >= skip) {
      FrameReport frame;
      frame.address = ip;
      frame.last = stepped == 0;
      if (ip != 0) lookUpCached(session, frame, exact || signalFrame ? ip : ip - 1);
      frames.push_back(frame);
    }
    if (stepped < 0) {
      failureCode = static_cast<std::uint32_t>(-stepped);
      failureAddress = ip;
      return false;
    }
    if (stepped == 0) return true;
    exact = signalFrame;
  }
  return true;
}

int readProcessMemory(HANDLE, std::uint64_t address, void* buffer, std::uint32_t size,
                      std::uint32_t* read) {
  iovec local{buffer, size};
  iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size};
  ssize_t count = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (read) *read = count > 0 ? static_cast<std::uint32_t>(count) : 0;
  return count == static_cast<ssize_t>(size) ? 1 : 0;
}

// libunwind's capture: the registers without the signal mask, which would
// cost a system call and which no walk reads.
bool captureContext(CONTEXT& context) { return unw_getcontext(&context) == 0; }

void clearContext(CONTEXT& context, std::uint32_t) { std::memset(&context, 0, sizeof context); }

void approximateContext(CONTEXT& context, const void* instruction) {
  context.uc_mcontext.gregs[REG_RIP] = reinterpret_cast<greg_t>(instruction);
  context.uc_mcontext.gregs[REG_RBP] = reinterpret_cast<greg_t>(__builtin_frame_address(0));
  context.uc_mcontext.gregs[REG_RSP] = reinterpret_cast<greg_t>(&context);
}

// Another thread's registers cannot be read from inside the process.
bool suspendedThreadContext(HANDLE, CONTEXT&, std::uint32_t) {
  setLastError(ENOTSUP);
  return false;
}

void resumeThread(HANDLE) {}

// Read once: the running kernel does not change under the process.
bool osVersion(OsVersion& version) {
  static OsVersion known;
  static const bool found = [] {
    utsname names;
    if (uname(&names) != 0) return false;
    known = OsVersion{0, 0, 0, names.version, 0, 1};
    std::sscanf(names.release, "%u.%u.%u", &known.major, &known.minor, &known.build);
    return true;
  }();
  if (found) version = known;
  return found;
}

}  // namespace kw::os
