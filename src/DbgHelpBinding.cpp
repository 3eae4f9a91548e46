// DbgHelpBinding: starts the symbol engine session for a StackWalker, loads the module list and
// passes the engine's notes on to the walker's callbacks.
#include "DbgHelpBinding.h"

#include <cstring>
#include <typeinfo>

#include "os/ErrorText.h"

namespace kw {

const char* DbgHelpBinding::symTypeText(int symType) {
  static const char* const kTexts[] = {"-nosymbols-", "COFF", "CV",  "PDB",    "-exported-",
                                       "-deferred-",  "SYM",  "DIA", "Virtual"};
  return symType >= 0 && symType < 9 ? kTexts[symType] : nullptr;
}

DbgHelpBinding::DbgHelpBinding(StackWalker* parent, HANDLE hProcess, std::uint32_t dwProcessId)
    : m_pParent(parent), m_hProcess(hProcess), m_nProcessId(dwProcessId) {}

// The engine session stays with the process for the next walker; it ends
// when the modules change or the process does.
DbgHelpBinding::~DbgHelpBinding() = default;

bool DbgHelpBinding::Init(const char* szSymPath, bool readFileVersions) {
  if (!m_pParent) return false;
  if (szSymPath) {
    std::size_t length = std::strlen(szSymPath) + 1;
    m_pszSymPath.reset(new char[length]);
    std::memcpy(m_pszSymPath.get(), szSymPath, length);
  }
  std::vector<os::EngineNote> notes;
  m_pDbhHelp = os::startSymbolSession(m_hProcess, m_nProcessId, szSymPath, readFileVersions, notes);
  report(notes);
  return m_pDbhHelp != nullptr;
}

bool DbgHelpBinding::LoadModules() {
  if (!m_pDbhHelp) {
    os::setLastError(1114);
    return false;
  }
  // Module lines are written only with diagnostics, unless a walker of its own
  // kind wants to see every module.
  const bool describe =
      (m_pParent->m_nStackTraceInfoLevel & 0x2) != 0 || typeid(*m_pParent) != typeid(StackWalker);
  std::vector<os::EngineNote> notes;
  bool loaded = os::loadSessionModules(*m_pDbhHelp, notes, describe);
  report(notes);
  return loaded;
}

void DbgHelpBinding::report(const std::vector<os::EngineNote>& notes) {
  for (const os::EngineNote& note : notes) {
    switch (note.kind) {
      case os::EngineNote::kError:
        m_pParent->OnDbgHelpErr(note.text.c_str(), note.code, note.address);
        break;
      case os::EngineNote::kSymInit:
        m_pParent->OnSymInit(note.text.c_str(), note.code, note.text2.c_str());
        break;
      case os::EngineNote::kModule:
        m_pParent->OnLoadModule(note.text.c_str(), note.text2.c_str(), note.address, note.size,
                                note.code,
                                symTypeText(note.symType) ? symTypeText(note.symType) : "-unknown-",
                                note.loadedImageName.c_str(), note.fileVersion);
        break;
    }
  }
}

}  // namespace kw
