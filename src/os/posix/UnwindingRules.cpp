// Unwind rules read from a frame's unwind entry (.eh_frame, found through the
// runtime's _Unwind_Find_FDE) and kept per return address. Only what an
// x86-64 walk needs is kept: where the canonical frame address (CFA) is, as
// the stack or frame pointer plus an offset, where the caller's frame
// pointer was saved and that the return address sits just below the CFA.
// Anything else makes the walk the runtime's again.
#include "os/posix/UnwindingRules.h"

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace kw::os {

struct UnwindingRules::Rule {
  enum Kind : std::uint8_t { kUnusable, kCaller, kOutermost };
  static const std::int32_t kNotSaved = INT32_MIN;

  // The address the rule is for; 0 marks an empty slot.
  std::uintptr_t address = 0;
  Kind kind = kUnusable;
  bool fromFramePointer = false;  // the CFA is rbp + offset, else rsp + offset
  std::int32_t cfaOffset = 0;
  // Where the caller's rbp was saved, from the CFA; kNotSaved: it is still in
  // the register.
  std::int32_t framePointerSlot = kNotSaved;
};

namespace {

// Slots of the rule table; a program's throw sites need a few hundred.
const std::size_t kSlots = 1024;
// A corrupt stack could go round; no real stack is this deep.
const std::size_t kMaxFrames = 4096;

#if defined(__x86_64__)

const unsigned kRbp = 6, kRsp = 7, kReturnAddress = 16;

struct FdeBases {
  void* text;
  void* data;
  void* function;
};

typedef const void* (*FindFde)(void*, FdeBases*);

// The runtime's look-up of a code address's unwind entry, by name from
// libgcc_s: another unwinder listed first may export the same name.
FindFde findFde() {
  static const FindFde find = [] {
    void* library = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD);
    return library ? reinterpret_cast<FindFde>(dlsym(library, "_Unwind_Find_FDE")) : nullptr;
  }();
  return find;
}

// Reads the numbers of an unwind entry.
class Cursor {
 public:
  explicit Cursor(const std::uint8_t* at) : m_pAt(at) {}

  const std::uint8_t* at() const { return m_pAt; }
  void skip(std::uint64_t count) { m_pAt += count; }
  std::uint8_t byte() { return *m_pAt++; }

  template <typename Value>
  Value fixed() {
    Value value;
    std::memcpy(&value, m_pAt, sizeof value);
    m_pAt += sizeof value;
    return value;
  }

  std::uint64_t unsignedLeb() {
    unsigned shift;
    return leb(shift);
  }

  std::int64_t signedLeb() {
    unsigned shift;
    std::uint64_t value = leb(shift);
    // The last byte's sign bit extends into the bits it did not fill.
    if (shift < 64 && (m_pAt[-1] & 0x40)) value |= ~std::uint64_t(0) << shift;
    return static_cast<std::int64_t>(value);
  }

  // A pointer in the entry's encoding (DW_EH_PE_*); false for one not known.
  bool pointer(std::uint8_t encoding, const FdeBases& bases, std::uintptr_t& value) {
    if (encoding == 0xff) {  // omitted
      value = 0;
      return true;
    }
    const auto place = reinterpret_cast<std::uintptr_t>(m_pAt);
    std::uintptr_t raw = 0;
    switch (encoding & 0x0f) {
      case 0x00:  // absolute
      case 0x04:  // udata8
      case 0x0c:  // sdata8
        raw = fixed<std::uint64_t>();
        break;
      case 0x01:
        raw = unsignedLeb();
        break;
      case 0x02:
        raw = fixed<std::uint16_t>();
        break;
      case 0x03:
        raw = fixed<std::uint32_t>();
        break;
      case 0x09:
        raw = static_cast<std::uintptr_t>(signedLeb());
        break;
      case 0x0a:
        raw = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(fixed<std::int16_t>()));
        break;
      case 0x0b:
        raw = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(fixed<std::int32_t>()));
        break;
      default:
        return false;
    }
    switch (encoding & 0x70) {
      case 0x00:
        break;
      case 0x10:
        raw += place;
        break;
      case 0x20:
        raw += reinterpret_cast<std::uintptr_t>(bases.text);
        break;
      case 0x30:
        raw += reinterpret_cast<std::uintptr_t>(bases.data);
        break;
      case 0x40:
        raw += reinterpret_cast<std::uintptr_t>(bases.function);
        break;
      default:
        return false;
    }
    if ((encoding & 0x80) && raw != 0) raw = *reinterpret_cast<const std::uintptr_t*>(raw);
    value = raw;
    return true;
  }

 private:
  // A LEB128 number's bits, and how many its bytes carried.
  std::uint64_t leb(unsigned& shift) {
    std::uint64_t value = 0;
    std::uint8_t part;
    shift = 0;
    do {
      part = *m_pAt++;
      if (shift < 64) value |= static_cast<std::uint64_t>(part & 0x7f) << shift;
      shift += 7;
    } while (part & 0x80);
    return value;
  }

  const std::uint8_t* m_pAt;
};

// What the common information entry of an FDE says.
struct Cie {
  std::uint64_t codeAlignment = 1;
  std::int64_t dataAlignment = 1;
  std::uint8_t fdeEncoding = 0;
  bool augmented = false;  // "z": the FDE has augmentation data to skip
  const std::uint8_t* instructions = nullptr;
  const std::uint8_t* end = nullptr;
};

// False for a CIE this reader does not follow: 64-bit lengths, a return
// address column other than x86-64's, a signal frame, an unknown augmentation.
bool readCie(const std::uint8_t* at, Cie& cie) {
  Cursor cursor(at);
  const auto length = cursor.fixed<std::uint32_t>();
  if (length == 0xffffffffu) return false;
  cie.end = at + 4 + length;
  cursor.skip(4);  // the CIE ID
  const std::uint8_t version = cursor.byte();
  const auto* augmentation = reinterpret_cast<const char*>(cursor.at());
  cursor.skip(std::strlen(augmentation) + 1);
  if (augmentation[0] != '\0' && augmentation[0] != 'z') return false;
  cie.codeAlignment = cursor.unsignedLeb();
  cie.dataAlignment = cursor.signedLeb();
  const std::uint64_t returnColumn = version == 1 ? cursor.byte() : cursor.unsignedLeb();
  if (returnColumn != kReturnAddress) return false;
  cie.augmented = augmentation[0] == 'z';
  if (cie.augmented) {
    const std::uint64_t dataLength = cursor.unsignedLeb();
    Cursor data(cursor.at());
    for (const char* letter = augmentation + 1; *letter; ++letter) {
      if (*letter == 'R') {
        cie.fdeEncoding = data.byte();
      } else if (*letter == 'P') {
        std::uintptr_t personality = 0;
        if (!data.pointer(data.byte() & 0x7f, FdeBases{}, personality)) return false;
      } else if (*letter == 'L') {
        data.byte();
      } else {
        return false;  // 'S' marks a signal frame
      }
    }
    cursor.skip(dataLength);
  }
  cie.instructions = cursor.at();
  return true;
}

// The rules of the registers a walk follows, while the CFA program runs.
struct Registers {
  static const std::int64_t kSame = INT64_MIN;       // the register keeps its value
  static const std::int64_t kUndefined = INT64_MAX;  // its value is lost
  static const std::int64_t kOther = INT64_MAX - 1;  // any rule a walk does not follow

  unsigned cfaRegister = kRsp;
  std::int64_t cfaOffset = 8;
  std::int64_t framePointer = kSame;   // saved at CFA + this
  std::int64_t returnAddress = kSame;  // saved at CFA + this

  void set(std::uint64_t column, std::int64_t rule) {
    if (column == kRbp) framePointer = rule;
    if (column == kReturnAddress) returnAddress = rule;
  }
  void restore(std::uint64_t column, const Registers& initial) {
    if (column == kRbp) framePointer = initial.framePointer;
    if (column == kReturnAddress) returnAddress = initial.returnAddress;
  }
};

// Runs a CFA program up to the target address; false for an instruction
// this reader does not follow.
class CfaProgram {
 public:
  CfaProgram(const Cie& cie, const FdeBases& bases, std::uintptr_t start, std::uintptr_t target)
      : m_cie(cie), m_bases(bases), m_location(start), m_target(target) {}

  Registers registers;

  // The CIE's initial instructions; their rules are what DW_CFA_restore restores.
  bool runInitial() {
    if (!run(m_cie.instructions, m_cie.end)) return false;
    m_initial = registers;
    return true;
  }
  bool run(const std::uint8_t* from, const std::uint8_t* end) {
    Cursor cursor(from);
    while (cursor.at() < end && !m_bPassed) {
      if (!step(cursor)) return false;
    }
    return true;
  }

 private:
  void advance(std::uint64_t delta) {
    m_location += delta * m_cie.codeAlignment;
    // A rule at an address after the target does not hold there yet.
    if (m_location > m_target) m_bPassed = true;
  }

  bool step(Cursor& cursor) {
    const std::uint8_t operation = cursor.byte();
    const std::uint8_t operand = operation & 0x3f;
    switch (operation & 0xc0) {
      case 0x40:  // DW_CFA_advance_loc
        advance(operand);
        return true;
      case 0x80:  // DW_CFA_offset
        registers.set(operand,
                      static_cast<std::int64_t>(cursor.unsignedLeb()) * m_cie.dataAlignment);
        return true;
      case 0xc0:  // DW_CFA_restore
        registers.restore(operand, m_initial);
        return true;
    }
    switch (operation) {
      case 0x00:  // DW_CFA_nop
        return true;
      case 0x01: {  // DW_CFA_set_loc
        std::uintptr_t location = 0;
        if (!cursor.pointer(m_cie.fdeEncoding, m_bases, location)) return false;
        m_location = location;
        if (m_location > m_target) m_bPassed = true;
        return true;
      }
      case 0x02:
        advance(cursor.byte());
        return true;
      case 0x03:
        advance(cursor.fixed<std::uint16_t>());
        return true;
      case 0x04:
        advance(cursor.fixed<std::uint32_t>());
        return true;
      case 0x05: {  // DW_CFA_offset_extended
        const std::uint64_t column = cursor.unsignedLeb();
        registers.set(column,
                      static_cast<std::int64_t>(cursor.unsignedLeb()) * m_cie.dataAlignment);
        return true;
      }
      case 0x06:  // DW_CFA_restore_extended
        registers.restore(cursor.unsignedLeb(), m_initial);
        return true;
      case 0x07:  // DW_CFA_undefined
        registers.set(cursor.unsignedLeb(), Registers::kUndefined);
        return true;
      case 0x08:  // DW_CFA_same_value
        registers.set(cursor.unsignedLeb(), Registers::kSame);
        return true;
      case 0x09: {  // DW_CFA_register
        const std::uint64_t column = cursor.unsignedLeb();
        cursor.unsignedLeb();
        registers.set(column, Registers::kOther);
        return true;
      }
      case 0x0a:  // DW_CFA_remember_state
        m_stack.push_back(registers);
        return true;
      case 0x0b:  // DW_CFA_restore_state, the CFA rule included
        if (m_stack.empty()) return false;
        registers = m_stack.back();
        m_stack.pop_back();
        return true;
      case 0x0c:  // DW_CFA_def_cfa
        registers.cfaRegister = static_cast<unsigned>(cursor.unsignedLeb());
        registers.cfaOffset = static_cast<std::int64_t>(cursor.unsignedLeb());
        return true;
      case 0x0d:  // DW_CFA_def_cfa_register
        registers.cfaRegister = static_cast<unsigned>(cursor.unsignedLeb());
        return true;
      case 0x0e:  // DW_CFA_def_cfa_offset
        registers.cfaOffset = static_cast<std::int64_t>(cursor.unsignedLeb());
        return true;
      case 0x10:    // DW_CFA_expression
      case 0x16: {  // DW_CFA_val_expression
        const std::uint64_t column = cursor.unsignedLeb();
        cursor.skip(cursor.unsignedLeb());
        registers.set(column, Registers::kOther);
        return true;
      }
      case 0x11: {  // DW_CFA_offset_extended_sf
        const std::uint64_t column = cursor.unsignedLeb();
        registers.set(column, cursor.signedLeb() * m_cie.dataAlignment);
        return true;
      }
      case 0x12:  // DW_CFA_def_cfa_sf
        registers.cfaRegister = static_cast<unsigned>(cursor.unsignedLeb());
        registers.cfaOffset = cursor.signedLeb() * m_cie.dataAlignment;
        return true;
      case 0x13:  // DW_CFA_def_cfa_offset_sf
        registers.cfaOffset = cursor.signedLeb() * m_cie.dataAlignment;
        return true;
      case 0x14:    // DW_CFA_val_offset
      case 0x15: {  // DW_CFA_val_offset_sf
        const std::uint64_t column = cursor.unsignedLeb();
        if (operation == 0x14)
          cursor.unsignedLeb();
        else
          cursor.signedLeb();
        registers.set(column, Registers::kOther);
        return true;
      }
      case 0x2e:  // DW_CFA_GNU_args_size
        cursor.unsignedLeb();
        return true;
      case 0x2f: {  // DW_CFA_GNU_negative_offset_extended
        const std::uint64_t column = cursor.unsignedLeb();
        registers.set(column,
                      -static_cast<std::int64_t>(cursor.unsignedLeb()) * m_cie.dataAlignment);
        return true;
      }
      default:  // DW_CFA_def_cfa_expression and anything unknown
        return false;
    }
  }

  const Cie& m_cie;
  const FdeBases& m_bases;
  std::uintptr_t m_location;
  const std::uintptr_t m_target;
  bool m_bPassed = false;
  Registers m_initial;
  std::vector<Registers> m_stack;
};

// Where an address's search in the rule table starts: Fibonacci hashing
// spreads code addresses, which differ in their low bits.
std::size_t firstSlot(std::uintptr_t address) {
  return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 54) % kSlots;
}

bool fitsInt32(std::int64_t value) { return value >= INT32_MIN + 1 && value <= INT32_MAX; }

// The rule of the code at `target` (for a return address: the call before
// it); unusable where the walk must be the runtime's.
UnwindingRules::Rule readRule(std::uintptr_t target) {
  UnwindingRules::Rule rule;
  FdeBases bases{};
  const FindFde find = findFde();
  const auto* fde =
      find ? static_cast<const std::uint8_t*>(find(reinterpret_cast<void*>(target), &bases))
           : nullptr;
  if (!fde) return rule;
  Cursor cursor(fde);
  const auto length = cursor.fixed<std::uint32_t>();
  if (length == 0xffffffffu) return rule;
  const std::uint8_t* end = fde + 4 + length;
  const std::uint8_t* cieAt = cursor.at() - cursor.fixed<std::int32_t>();
  Cie cie;
  if (!readCie(cieAt, cie)) return rule;
  std::uintptr_t start = 0, range = 0;
  if (!cursor.pointer(cie.fdeEncoding, bases, start)) return rule;
  if (!cursor.pointer(cie.fdeEncoding & 0x0f, bases, range)) return rule;
  if (target < start || target - start >= range) return rule;
  if (cie.augmented) cursor.skip(cursor.unsignedLeb());

  CfaProgram program(cie, bases, start, target);
  if (!program.runInitial() || !program.run(cursor.at(), end)) return rule;
  const Registers& registers = program.registers;
  if (registers.cfaRegister != kRsp && registers.cfaRegister != kRbp) return rule;
  if (!fitsInt32(registers.cfaOffset)) return rule;
  if (registers.framePointer != Registers::kSame && !fitsInt32(registers.framePointer)) return rule;
  if (registers.returnAddress == Registers::kUndefined)
    rule.kind = UnwindingRules::Rule::kOutermost;
  else if (registers.returnAddress == -8)
    rule.kind = UnwindingRules::Rule::kCaller;
  else
    return rule;
  rule.fromFramePointer = registers.cfaRegister == kRbp;
  rule.cfaOffset = static_cast<std::int32_t>(registers.cfaOffset);
  rule.framePointerSlot = registers.framePointer == Registers::kSame
                              ? UnwindingRules::Rule::kNotSaved
                              : static_cast<std::int32_t>(registers.framePointer);
  return rule;
}

#endif

}  // namespace

UnwindingRules::UnwindingRules() : m_slots(kSlots), m_nUsed(0) {}

UnwindingRules::~UnwindingRules() = default;

void UnwindingRules::clear() {
  std::fill(m_slots.begin(), m_slots.end(), Rule());
  m_nUsed = 0;
}

#if defined(__x86_64__)

const UnwindingRules::Rule& UnwindingRules::ruleAt(std::uintptr_t address, bool exact) {
  std::size_t slot = firstSlot(address);
  for (; m_slots[slot].address != 0; slot = (slot + 1) % kSlots)
    if (m_slots[slot].address == address) return m_slots[slot];
  if (m_nUsed >= kSlots * 3 / 4) {
    clear();
    slot = firstSlot(address);
  }
  // A return address follows its call, whose rule is the one that holds.
  Rule rule = readRule(exact ? address : address - 1);
  rule.address = address;
  m_slots[slot] = rule;
  ++m_nUsed;
  return m_slots[slot];
}

__attribute__((noinline)) bool UnwindingRules::backtrace(std::vector<RuleFrame>& frames) {
  // This function's own registers at the label, where its unwind entry holds
  // as it does at any instruction; the label is no return address.
  std::uintptr_t ip, sp, fp;
  asm volatile(
      "lea 0f(%%rip), %0\n\t"
      "mov %%rsp, %1\n\t"
      "mov %%rbp, %2\n"
      "0:"
      : "=r"(ip), "=r"(sp), "=r"(fp));
  const Rule* rule = &ruleAt(ip, true);
  while (frames.size() < kMaxFrames) {
    if (rule->kind == Rule::kUnusable) return false;
    const std::uintptr_t cfa = (rule->fromFramePointer ? fp : sp) + rule->cfaOffset;
    if (rule->framePointerSlot != Rule::kNotSaved)
      fp = *reinterpret_cast<const std::uintptr_t*>(cfa + rule->framePointerSlot);
    ip = rule->kind == Rule::kOutermost ? 0 : *reinterpret_cast<const std::uintptr_t*>(cfa - 8);
    sp = cfa;
    frames.push_back({ip, fp});
    // The runtime's walk ends with a frame of address 0 after the outermost.
    if (ip == 0) return true;
    rule = &ruleAt(ip, false);
  }
  return false;
}

#else

bool UnwindingRules::backtrace(std::vector<RuleFrame>&) { return false; }

#endif

}  // namespace kw::os
