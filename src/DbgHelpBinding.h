// The debugging-help library bound for one StackWalker: the process's engine
// session, started or taken over, and what starting it and loading its
// modules reported, handed to the walker's callbacks.
#pragma once

#include <kw/StackWalker.h>

#include <cstdint>
#include <memory>

#include "os/StackWalking.h"

namespace kw {

class DbgHelpBinding {
 public:
  // The error a walker reports when the library is missing or incomplete.
  static constexpr std::uint32_t kInitFailed = 1114;

  DbgHelpBinding(StackWalker* parent, HANDLE hProcess, std::uint32_t dwProcessId);
  ~DbgHelpBinding();
  DbgHelpBinding(const DbgHelpBinding&) = delete;
  DbgHelpBinding& operator=(const DbgHelpBinding&) = delete;

  // What a walker asks of the engine.
  struct Request {
    bool searchPath;        // build the symbol search path
    const char* userPath;   // the walker's own folders, first in the path; or null
    bool readFileVersions;  // read each module's file version
    bool showsStart;        // the walker's callbacks see the start, search path and all
  };

  // Binds the library and starts the engine, or takes over the process's
  // session when it still serves; false when the library is missing or
  // incomplete.
  bool Init(const Request& request);
  // Loads every module of the process; false when none could be listed.
  // `describe` hands the walker a note of each module.
  bool LoadModules(bool describe);

  // The text of a symbol type the engine reports; null for an unknown one.
  static const char* symTypeText(int symType);

  bool isBound() const { return m_pSession != nullptr; }
  os::SymbolSession& session();

 private:
  struct Session;

  // The session the next walker takes over; walkers hold the walking lock.
  static std::shared_ptr<Session>& current();

  void reportStart() const;
  void reportModules() const;

  StackWalker* m_pParent;
  std::shared_ptr<Session> m_pSession;
  HANDLE m_hProcess;
  std::uint32_t m_nProcessId;
};

}  // namespace kw
