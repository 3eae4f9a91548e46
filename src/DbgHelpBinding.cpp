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
  // Started for the same folders of the walker's own.
  bool serves(const Request& request) const {
    return hasSearchPath == request.searchPath &&
           (!hasSearchPath || (hasUserPath == (request.userPath != nullptr) &&
                               (!hasUserPath || userPath == request.userPath)));
  }

  std::shared_ptr<os::SymbolSession> engine;
  bool hasSearchPath = false;
  bool hasUserPath = false;
  std::string userPath;
  std::string searchPath;  // as built when the session started
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

// Never destroyed: an exception may be made while the process exits.
std::shared_ptr<DbgHelpBinding::Session>& DbgHelpBinding::current() {
  static auto* session = new std::shared_ptr<Session>();
  return *session;
}

bool DbgHelpBinding::Init(const Request& request) {
  if (!m_pParent) return false;
  // The search path holds the current folder, which takes a system call to
  // read: it is built for a session that starts, and for a walker that is
  // shown it. A walker that is not takes over a session started for the same
  // folders of its own; where the engine opens modules one at a time, it
  // builds the path again for each new one.
  std::string built;
  auto searchPath = [&]() -> const char* {
    if (!request.searchPath) return nullptr;
    if (built.empty()) built = os::buildSymbolSearchPath(request.userPath);
    return built.c_str();
  };
  std::shared_ptr<Session> taken = current();
  if (!taken || !taken->serves(request) ||
      (request.showsStart && request.searchPath && taken->searchPath != searchPath()) ||
      !os::sessionCurrent(*taken->engine, m_hProcess, m_nProcessId, request.readFileVersions)) {
    auto started = std::make_shared<Session>();
    started->engine = os::startSymbolSession(taken ? taken->engine : nullptr, m_hProcess,
                                             m_nProcessId, searchPath(), request.userPath,
                                             request.readFileVersions, started->started);
    if (!started->engine) {
      m_pSession.reset();
      os::setLastError(kInitFailed);
      return false;
    }
    started->hasSearchPath = request.searchPath;
    started->hasUserPath = request.userPath != nullptr;
    if (request.userPath) started->userPath = request.userPath;
    if (request.searchPath) started->searchPath = searchPath();
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
