// The debugging-help library bound for one StackWalker: the engine session it
// started (shared with the other walkers of the process, see
// os/StackWalking.h) and the notes of that start, handed to the walker's
// callbacks.
#pragma once

#include <kw/StackWalker.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/StackWalking.h"

namespace kw {

class DbgHelpBinding {
 public:
  DbgHelpBinding(StackWalker* parent, HANDLE hProcess, std::uint32_t dwProcessId);
  ~DbgHelpBinding();
  DbgHelpBinding(const DbgHelpBinding&) = delete;
  DbgHelpBinding& operator=(const DbgHelpBinding&) = delete;

  // Binds the library and starts the engine with the search path (null for
  // none); false when the library is missing or incomplete.
  bool Init(const char* szSymPath, bool readFileVersions);
  // Loads every module of the process; false when none could be listed.
  bool LoadModules();

  // The text of a symbol type the engine reports; null for an unknown one.
  static const char* symTypeText(int symType);

  bool isBound() const { return m_pDbhHelp != nullptr; }
  os::SymbolSession& session() { return *m_pDbhHelp; }

 private:
  void report(const std::vector<os::EngineNote>& notes);

  StackWalker* m_pParent;
  std::shared_ptr<os::SymbolSession> m_pDbhHelp;
  HANDLE m_hProcess;
  std::uint32_t m_nProcessId;
  std::unique_ptr<char[]> m_pszSymPath;
};

}  // namespace kw
