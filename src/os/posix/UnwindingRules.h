// The calling thread's frames by unwind rules kept per return address. The
// runtime's unwinder finds, reads and interprets a frame's unwind entry at
// every step, about two thousand instructions a frame; a program builds its
// exceptions from a few places, so each entry is read once here and every
// later step is a table look-up and two loads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kw::os {

// One frame as the runtime's _Unwind_Backtrace reports it: the instruction
// address (a return address after the first) and the frame pointer register.
struct RuleFrame {
  std::uintptr_t ip;
  std::uintptr_t framePointer;
};

class UnwindingRules {
 public:
  UnwindingRules();
  ~UnwindingRules();
  UnwindingRules(const UnwindingRules&) = delete;
  UnwindingRules& operator=(const UnwindingRules&) = delete;

  // Appends the frames from the caller on, the same as the runtime's unwinder
  // reports them up to and including its frame of address 0 after the
  // outermost one. False where a frame needs more than its rules say (a
  // signal frame, a rule by expression or by another register, code without
  // an unwind entry, another architecture): the runtime's unwinder must walk
  // then, and `frames` holds nothing useful.
  // Not for two threads at once: walks hold the walking lock.
  bool backtrace(std::vector<RuleFrame>& frames);

  // Forgets every rule; the code at an address may have changed (a module
  // was unloaded).
  void clear();

  // How one frame unwinds: where its caller's stack pointer, frame pointer
  // and return address are.
  struct Rule;

 private:
  // The rule at a return address, or at the very address when `exact`; read
  // from the unwind entry the first time.
  const Rule& ruleAt(std::uintptr_t address, bool exact);

  std::vector<Rule> m_slots;
  std::size_t m_nUsed;
};

}  // namespace kw::os
