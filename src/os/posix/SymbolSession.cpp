// The libdw session: dwfl lists the modules from /proc/self/maps, and keeps
// those the loader loaded; separate debug files come from local folders only.
#include "os/posix/SymbolSession.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "os/ErrorText.h"
#include "os/posix/DebugFileSearch.h"
#include "os/posix/SymbolLookup.h"

namespace kw::os {

namespace {

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

std::string userName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
  return found ? found->pw_name : "";
}

int collectModule(Dwfl_Module* module, void**, const char*, Dwarf_Addr, void* data) {
  static_cast<std::vector<Dwfl_Module*>*>(data)->push_back(module);
  return DWARF_CB_OK;
}

int attachSession(Dwfl_Module*, void** userData, const char*, Dwarf_Addr, void* session) {
  *userData = session;
  return DWARF_CB_OK;
}

// The address ranges of the code the loader has loaded.
struct LoadedRange {
  std::uintptr_t start, end;
};

int collectLoadedRanges(dl_phdr_info* info, std::size_t, void* data) {
  auto* ranges = static_cast<std::vector<LoadedRange>*>(data);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && header.p_memsz > 0) {
      const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
      ranges->push_back({start, start + header.p_memsz});
    }
  }
  return 0;
}

// The process's mappings also hold files that are not loaded code: the
// debug files libdw maps, cached copies among them, and whatever the
// program maps itself. Only modules the loader lists are kept.
void keepLoadedModules(Dwfl* dwfl) {
  std::vector<LoadedRange> loaded;
  dl_iterate_phdr(&collectLoadedRanges, &loaded);
  std::vector<Dwfl_Module*> modules, kept;
  dwfl_getmodules(dwfl, &collectModule, &modules, 0);
  for (Dwfl_Module* module : modules) {
    Dwarf_Addr low = 0, high = 0;
    dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, nullptr, nullptr);
    if (std::any_of(loaded.begin(), loaded.end(), [&](const LoadedRange& range) {
          return range.start < high && low < range.end;
        }))
      kept.push_back(module);
  }
  if (kept.size() == modules.size()) return;
  // Modules not reported again are dropped.
  dwfl_report_begin(dwfl);
  for (Dwfl_Module* module : kept) {
    Dwarf_Addr low = 0, high = 0;
    const char* name =
        dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, nullptr, nullptr);
    dwfl_report_module(dwfl, name, low, high);
  }
  dwfl_report_end(dwfl, nullptr, nullptr);
}

Dwarf_Addr moduleBase(Dwfl_Module* module) {
  Dwarf_Addr low = 0;
  dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
  return low;
}

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

FrameStore* SymbolSession::storeOf(Dwfl_Module* module) {
  const bool opened = symTypes.count(module) != 0;
  // Until the module is opened, the search path it would be opened with
  // follows the current folder (beforeOpening).
  auto found = stores.find(module);
  if (found != stores.end() &&
      (opened || !found->second || found->second->searchPath() == debuginfoPathText))
    return found->second.get();
  std::unique_ptr<FrameStore>& store = stores[module];
  store.reset();
  // The debug-info servers of the environment may answer differently each time.
  const char* servers = std::getenv("DEBUGINFOD_URLS");
  if (opened || (servers && *servers)) return nullptr;
  std::string state = debugSearchState(module, debuginfoPathText);
  if (!state.empty()) store = std::make_unique<FrameStore>(std::move(state), debuginfoPathText);
  return store.get();
}

void SymbolSession::saveStores() {
  for (auto& store : stores)
    if (store.second) store.second->save();
}

void SymbolSession::useSearchPath(const char* path) {
  searchPath = path ? path : "";
  // dwfl's own places (the module's folder, its .debug folder, /usr/lib/debug)
  // come after the caller's folders.
  std::string debuginfo;
  for (char c : searchPath) debuginfo += c == ';' ? ':' : c;
  debuginfoPathText = debuginfo + ":.debug:/usr/lib/debug";
  debuginfoPath = &debuginfoPathText[0];
}

void SymbolSession::beforeOpening(Dwfl_Module* module) {
  if (!hasSearchPath || symTypes.count(module) != 0) return;
  const std::string now = buildSymbolSearchPath(hasUserPath ? userPath.c_str() : nullptr);
  if (now != searchPath) useSearchPath(now.c_str());
}

std::shared_ptr<SymbolSession> startSymbolSession(std::shared_ptr<SymbolSession>, HANDLE,
                                                  std::uint32_t, const char* searchPath,
                                                  const char* userPath, bool, StartNotes& notes) {
  // A walker that still holds the session it replaces keeps it as it is.
  auto session = std::make_shared<SymbolSession>();
  session->stamp = currentStamp();
  session->hasSearchPath = searchPath != nullptr;
  session->hasUserPath = userPath != nullptr;
  if (userPath) session->userPath = userPath;
  session->useSearchPath(searchPath);
  session->callbacks.find_elf = dwfl_linux_proc_find_elf;
  session->callbacks.find_debuginfo = findLocalDebuginfo;
  session->callbacks.debuginfo_path = &session->debuginfoPath;
  session->dwfl.reset(dwfl_begin(&session->callbacks));
  if (!session->dwfl) return nullptr;

  // The folders in the walker's own notation: the caller's, then dwfl's.
  notes.searchPath = session->searchPath + ".debug;/usr/lib/debug";
  notes.options = kSymOptions;
  notes.userName = userName();
  return session;
}

// libdw reads the module list of the process, which changes only by loads
// and unloads.
bool sessionCurrent(const SymbolSession& session, HANDLE, std::uint32_t, bool) {
  return session.stamp == currentStamp();
}

// Opening every module's files and debug data is what makes a first walk
// slow: loading lists the modules only, and a walk opens its frames' modules.
bool loadSessionModules(SymbolSession& session, std::vector<ModuleNote>&) {
  dwfl_report_begin(session.dwfl.get());
  int reported = dwfl_linux_proc_report(session.dwfl.get(), getpid());
  dwfl_report_end(session.dwfl.get(), nullptr, nullptr);
  if (reported != 0) {
    setLastError(reported > 0 ? reported : kNotFound);
    return false;
  }
  keepLoadedModules(session.dwfl.get());
  std::vector<Dwfl_Module*> modules;
  dwfl_getmodules(session.dwfl.get(), &collectModule, &modules, 0);
  if (modules.empty()) return false;
  dwfl_getmodules(session.dwfl.get(), &attachSession, &session, 0);
  return true;
}

void describeSessionModules(SymbolSession& session, std::vector<ModuleNote>& notes) {
  std::vector<Dwfl_Module*> modules;
  dwfl_getmodules(session.dwfl.get(), &collectModule, &modules, 0);
  std::sort(modules.begin(), modules.end(),
            [](Dwfl_Module* a, Dwfl_Module* b) { return moduleBase(a) < moduleBase(b); });
  for (Dwfl_Module* module : modules) {
    session.beforeOpening(module);
    Dwarf_Addr bias = 0;
    bool opened = dwfl_module_getelf(module, &bias) != nullptr;
    Dwarf_Addr low = 0, high = 0;
    const char* mainFile = nullptr;
    const char* debugFile = nullptr;
    const char* name =
        dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, &mainFile, &debugFile);
    ModuleNote note;
    note.image = mainFile ? mainFile : (name ? name : "");
    note.name = baseName(note.image);
    note.base = low;
    note.size = static_cast<std::uint32_t>(high - low);
    note.result = opened ? 0 : kNotFound;
    note.symType = session.symType(module);
    dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, &mainFile, &debugFile);
    note.loadedImageName = debugFile ? debugFile : (mainFile ? mainFile : "");
    notes.push_back(note);
  }
}

std::string buildSymbolSearchPath(const char* userPath) {
  std::string path;
  if (userPath) path += std::string(userPath) + ";";
  path += ".;";
  char buffer[PATH_MAX] = {};
  if (getcwd(buffer, sizeof buffer)) path += std::string(buffer) + ";";
  if (!programFolder().empty()) path += programFolder() + ";";
  return path;
}

}  // namespace kw::os
