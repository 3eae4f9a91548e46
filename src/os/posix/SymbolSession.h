// The process's libdw session: its module list, symbol types and the frames
// it has looked up, kept until the process's modules change.
#pragma once

#include <elfutils/libdwfl.h>
#include <link.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/StackWalking.h"
#include "os/posix/FrameStore.h"
#include "os/posix/UnwindingRules.h"

namespace kw::os {

// The options the walker reports: lines, no critical-error boxes.
inline constexpr std::uint32_t kSymOptions = (0x10 | 0x200) & ~0x6u;
inline constexpr int kSymNone = 0, kSymExport = 4, kSymDia = 7;
// The error of a lookup that finds nothing at the address.
inline constexpr std::uint32_t kNotFound = ENXIO;
// Frames looked up per session before the lookups are forgotten: a program
// throws from a bounded set of places, and memory stays flat.
inline constexpr std::size_t kMaxCachedFrames = 4096;

// The module set: dl_iterate_phdr's counts of loads and unloads.
struct ModuleSetStamp {
  unsigned long long adds = 0, subs = 0;
  bool operator==(const ModuleSetStamp& other) const {
    return adds == other.adds && subs == other.subs;
  }
};

struct DwflEnd {
  void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};

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

  // The frames kept between processes for the module, read when the
  // session first asks (after beforeOpening); null where none are kept (a
  // module without a file, or one this session opened before it asked).
  FrameStore* storeOf(Dwfl_Module* module);
  // Writes what the walk added to the stores.
  void saveStores();

  // Looks for debug files in the search path's folders (none for null).
  void useSearchPath(const char* path);
  // Builds the search path again before the module is first opened: the
  // current folder is one of its places, and may have changed since the
  // session started.
  void beforeOpening(Dwfl_Module* module);

  std::unique_ptr<Dwfl, DwflEnd> dwfl;
  Dwfl_Callbacks callbacks{};
  char* debuginfoPath = nullptr;
  std::string debuginfoPathText;
  // The search path, and the walker's folders it is built from.
  bool hasSearchPath = false;
  std::string searchPath;
  bool hasUserPath = false;
  std::string userPath;
  ModuleSetStamp stamp;
  std::map<Dwfl_Module*, int> symTypes;
  std::unordered_map<Dwarf_Addr, std::shared_ptr<const FrameSymbols>> frames;
  std::map<Dwfl_Module*, std::unique_ptr<FrameStore>> stores;
  // Unwind rules of the session's code; a new module set starts a new session.
  UnwindingRules rules;
};

}  // namespace kw::os
