// DbgHelpBinding: when the process's engine session is started and when it
// is taken over, and the notes every walker of one session is handed.
#include "DbgHelpBinding.h"

#include <string>
#include <utility>
#include <vector>

#include "os/ErrorText.h"

namespace kw {

// The engine session and what starting it and loading its modules reported:
// a walker that takes the session over writes the same lines as the one that
// started it.
struct DbgHelpBinding::Session {
  bool serves(const char* searchPath) const {
    return hasSearchPath == (searchPath != nullptr) &&
           (!searchPath || this->searchPath == searchPath);
  }

  std::shared_ptr<os::SymbolSession> engine;
  bool hasSearchPath = false;
  std::string searchPath;
  os::StartNotes started;
  bool modulesLoaded = false;
  bool modulesDescribed = false;
  std::vector<os::ModuleNote> modules;
};

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

os::SymbolSession& DbgHelpBinding::session() { return *m_pSession->engine; }

std::shared_ptr<DbgHelpBinding::Session>& DbgHelpBinding::current() {
  static std::shared_ptr<Session> session;
  return session;
}

bool DbgHelpBinding::Init(const char* szSymPath, bool readFileVersions) {
  if (!m_pParent) return false;
  std::shared_ptr<Session> taken = current();
  if (!taken || !taken->serves(szSymPath) ||
      !os::sessionCurrent(*taken->engine, m_hProcess, m_nProcessId, readFileVersions)) {
    auto started = std::make_shared<Session>();
    started->engine =
        os::startSymbolSession(taken ? taken->engine : nullptr, m_hProcess, m_nProcessId, szSymPath,
                               readFileVersions, started->started);
    if (!started->engine) {
      m_pSession.reset();
      os::setLastError(kInitFailed);
      return false;
    }
    started->hasSearchPath = szSymPath != nullptr;
    if (szSymPath) started->searchPath = szSymPath;
    current() = taken = std::move(started);
  }
  m_pSession = std::move(taken);
  reportStart();
  return true;
}

bool DbgHelpBinding::LoadModules(bool describe) {
  if (!m_pSession) {
    os::setLastError(kInitFailed);
    return false;
  }
  Session& session = *m_pSession;
  if (!session.modulesLoaded) {
    if (!os::loadSessionModules(*session.engine, session.modules)) return false;
    session.modulesLoaded = true;
  }
  if (!describe) return true;
  if (!session.modulesDescribed) {
    os::describeSessionModules(*session.engine, session.modules);
    session.modulesDescribed = true;
  }
  reportModules();
  return true;
}

void DbgHelpBinding::reportStart() const {
  const os::StartNotes& started = m_pSession->started;
  for (const os::EngineError& error : started.errors)
    m_pParent->OnDbgHelpErr(error.function.c_str(), error.code, 0);
  m_pParent->OnSymInit(started.searchPath.c_str(), started.options, started.userName.c_str());
}

void DbgHelpBinding::reportModules() const {
  for (const os::ModuleNote& module : m_pSession->modules) {
    const char* symType = symTypeText(module.symType);
    m_pParent->OnLoadModule(module.image.c_str(), module.name.c_str(), module.base, module.size,
                            module.result, symType ? symType : "-unknown-",
                            module.loadedImageName.c_str(), module.fileVersion);
  }
}

}  // namespace kw
