// Symbols, source files and lines from libdw; names demangled with the
// runtime's demangler.
#include "os/posix/SymbolLookup.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdwelf.h>

#include <cstdlib>
#include <memory>

#include "os/posix/DebugFileCache.h"
#include "os/posix/SymbolSession.h"

namespace kw::os {

namespace {

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

// Whether the module's debug data refers to a file of its own (a dwz file
// of what several debug files share), which its state does not describe.
bool readsOtherFiles(Dwfl_Module* module) {
  Dwarf_Addr bias = 0;
  Dwarf* dwarf = dwfl_module_getdwarf(module, &bias);
  const char* name = nullptr;
  const void* id = nullptr;
  return dwarf && dwelf_dwarf_gnu_debugaltlink(dwarf, &name, &id) != 0;
}

// What the frame at frameAddress finds at address (the call before a
// return address).
void lookUp(SymbolSession& session, Dwfl_Module* module, FrameSymbols& frame,
            Dwarf_Addr frameAddress, Dwarf_Addr address) {
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

}  // namespace

std::string baseName(const std::string& path) {
  std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void lookUpCached(SymbolSession& session, FrameReport& frame, Dwarf_Addr address) {
  const bool exact = address == frame.address;
  const Dwarf_Addr key = frame.address * 2 + (exact ? 1 : 0);
  frame.symbols = session.cachedFrame(key);
  if (frame.symbols) return;
  auto symbols = std::make_shared<FrameSymbols>();
  Dwfl_Module* module = moduleAt(session.dwfl.get(), address);
  if (module) session.beforeOpening(module);
  FrameStore* store = module ? session.storeOf(module) : nullptr;
  Dwarf_Addr base = 0;
  if (store) dwfl_module_info(module, nullptr, &base, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (const FrameSymbols* stored = store ? store->find(frame.address - base, exact) : nullptr) {
    *symbols = *stored;
    symbols->moduleBase = base;
  } else {
    lookUp(session, module, *symbols, frame.address, address);
    if (store && readsOtherFiles(module))
      store->disable();
    else if (store)
      store->add(frame.address - base, exact, *symbols);
  }
  frame.symbols = symbols;
  session.cacheFrame(key, std::move(symbols));
}

}  // namespace kw::os
