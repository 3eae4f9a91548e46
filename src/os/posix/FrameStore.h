// What frames of one module resolved to, kept in the user's cache between
// processes: a process that finds a frame there need not open the module's
// debug data at all, which costs a first exception most of its time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "os/StackWalking.h"

namespace kw::os {

class FrameStore {
 public:
  // The frames kept for a module whose outside state (its file and its
  // debug files, as debugSearchState describes them) is `state`, found with
  // the search path `searchPath`.
  FrameStore(std::string state, std::string searchPath);

  const std::string& searchPath() const { return m_searchPath; }

  // What the frame `offset` bytes into the module resolved to, `exact` when
  // it was looked up at its own address rather than the call before it;
  // null when it is not kept. The module's base is not kept.
  const FrameSymbols* find(std::uint64_t offset, bool exact) const;

  // Keeps a frame the module's debug data resolved.
  void add(std::uint64_t offset, bool exact, const FrameSymbols& symbols);

  // Nothing more is read from or written to the store: the module's
  // symbols depend on something its state does not describe.
  void disable();

  // Writes the frames added since the store was read, with those other
  // processes kept meanwhile.
  void save();

 private:
  std::string m_state, m_searchPath, m_name;
  std::map<std::uint64_t, FrameSymbols> m_frames;
  std::vector<std::pair<std::uint64_t, FrameSymbols>> m_added;
  bool m_enabled = true;
};

}  // namespace kw::os
