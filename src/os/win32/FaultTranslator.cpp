// Hardware faults turned into exceptions on Windows: a vectored handler that
// sends the faulting thread into a throw. Twin of posix/FaultTranslator.cpp.
#include "os/FaultTranslator.h"

#include <windows.h>

#include <cstdlib>
#include <mutex>

// g++ code cannot be reached by the runtime's structured-exception
// translator, so a vectored handler sends the faulting thread into a
// function that runs the translator there, as if the faulting instruction
// had called it.

namespace kw::os {

namespace {

// Heap-allocated per thread (fiber-local slot) so that the vectored handler
// can look it up without allocating, whatever thread faulted.
struct ThreadState {
  CONTEXT context;  // the fault's, unchanged
  EXCEPTION_RECORD record;
  EXCEPTION_POINTERS pointers;
  FaultTranslator translator;
  bool translating;
  // The next fault goes to the other handlers: the one being passed on.
  bool passNext;
};

DWORD g_slot = FLS_OUT_OF_INDEXES;
void* g_handler = nullptr;

ThreadState* currentState() {
  return g_slot == FLS_OUT_OF_INDEXES ? nullptr : static_cast<ThreadState*>(FlsGetValue(g_slot));
}

// Carries passFaultOn's request from the translator back to raiseTranslated.
struct PassOn {};

struct Translating {
  explicit Translating(ThreadState& state) : m_state(state) {}
  ~Translating() { m_state.translating = false; }
  ThreadState& m_state;
};

// Resumes the thread with the context, as it was at the fault.
[[noreturn]] void restoreContext(CONTEXT& context) {
#if defined(__x86_64__)
  RtlRestoreContext(&context, nullptr);
#else
  // The restore call exists on 64-bit systems only; ntdll's continue call
  // does the same for x86.
  using ContinueFn = LONG(NTAPI*)(CONTEXT*, BOOLEAN);
  if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
    if (auto resume = reinterpret_cast<ContinueFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtContinue"))))
      resume(&context, FALSE);
  }
#endif
  std::abort();
}

}  // namespace

}  // namespace kw::os

// The redirected thread starts in kwFaultTrampoline, with the address that
// the unwinder should take for the faulting frame in a scratch register.
// Pushing it there rather than in the vectored handler leaves the stack below
// the fault, where the dispatcher itself runs, alone. Both are declared with
// their assembler names, which 32-bit C symbols would otherwise prefix.
extern "C" void kwFaultTrampoline() asm("kwFaultTrampoline");
#if defined(__x86_64__)
extern "C" [[noreturn]] void kwRaiseTranslated() asm("kwRaiseTranslated");
asm(".text\n"
    ".p2align 4\n"
    "kwFaultTrampoline:\n"
    "  pushq %r11\n"
    "  jmp kwRaiseTranslated\n");
#else
// x86 code unwinds by its DWARF tables. The trampoline is a frame of its own
// that the unwinder takes for a signal frame: the address it leaves for the
// faulting frame is that of the faulting instruction itself, so the rules in
// force at that very instruction apply, even in a prologue. The runtime may
// enter it with the stack aligned to 4 bytes only, hence the realignment.
extern "C" [[noreturn]] __attribute__((force_align_arg_pointer)) void kwRaiseTranslated() asm(
    "kwRaiseTranslated");
asm(".text\n"
    ".p2align 4\n"
    "kwFaultTrampoline:\n"
    "  .cfi_startproc\n"
    "  .cfi_signal_frame\n"
    // On entry the faulting frame's stack is untouched and its address in
    // %ecx (DWARF columns: 1 %ecx, 8 the return address).
    "  .cfi_def_cfa_offset 0\n"
    "  .cfi_register 8, 1\n"
    "  pushl %ecx\n"
    "  .cfi_def_cfa_offset 4\n"
    "  .cfi_offset 8, -4\n"
    "  call kwRaiseTranslated\n"
    "  .cfi_endproc\n");
#endif

// Takes no arguments, so it never writes above its return address, which
// belongs to the faulting frame.
extern "C" __attribute__((noinline)) void kwRaiseTranslated() {
  using namespace kw::os;
  ThreadState& state = *currentState();
  {
    Translating guard(state);
    try {
      state.translator(state.record.ExceptionCode, &state.pointers);
    } catch (const PassOn&) {
    }
  }
  // Passed on: the faulting instruction runs again and its fault goes to
  // the frame handlers and the unhandled-exception filter this time.
  state.passNext = true;
  restoreContext(state.context);
}

namespace kw::os {

namespace {

// Errors that the system raises (severity error, not a customer code) and
// that the thread can go on from. A stack overflow leaves no stack to
// translate on.
bool isTranslatable(const EXCEPTION_RECORD& record) {
  if ((record.ExceptionCode & 0xE0000000u) != 0xC0000000u) return false;
  if (record.ExceptionCode == STATUS_STACK_OVERFLOW) return false;
  return (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
}

#if defined(__x86_64__)

// Points the context at the trampoline. g++'s personality looks up the
// instruction before a return address, so a fault inside a function body
// (stack 16-byte aligned) returns to the faulting instruction + 1. Anywhere
// else (a frameless leaf, a prologue or epilogue) one frame is unwound
// first, so that the caller sees its call throw with a sound stack.
void redirect(CONTEXT& context) {
  DWORD64 returnAddress = context.Rip + 1;
  if (context.Rsp & 15) {
    DWORD64 imageBase = 0;
    if (PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr)) {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData,
                       &establisher, nullptr);
    } else {
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
    }
    returnAddress = context.Rip;
  }
  context.R11 = returnAddress;
  context.Rip = reinterpret_cast<DWORD64>(&kwFaultTrampoline);
}

// The vectored handler sees a fault before the frame handlers do, which the
// runtime's translator does not: a system function that guards its own
// access (as IsBadReadPtr does) must keep its fault. So the fault is taken
// only when the first frame from it that has a handler is g++ code,
// recognised by its handler data, which begins with the exception table's
// "no landing-pad base" mark; or when nothing above claims it at all. Wine
// guards its system code with frames listed in the thread block instead;
// its dispatcher calls those once the walk has passed their address.
bool reachesCppFrameFirst(const CONTEXT& fault) {
  constexpr unsigned char kGccTableMark = 0xFF;
  // The thread block's first field, read directly: NtCurrentTeb() trips a
  // false array-bounds warning in g++ when optimised.
  DWORD64 listed = 0;
  asm volatile("movq %%gs:0, %0" : "=r"(listed));
  const bool hasListed = listed != 0 && listed != ~DWORD64{0} && listed >= fault.Rsp;
  CONTEXT context = fault;
  for (int depth = 0; depth < 64 && context.Rip; ++depth) {
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (!entry) {
      if (depth > 0) return true;  // beyond what can be walked
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
    } else {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      if (RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, context.Rip, entry, &context, &handlerData,
                           &establisher, nullptr))
        return handlerData && *static_cast<const unsigned char*>(handlerData) == kGccTableMark;
    }
    if (hasListed && listed < context.Rsp) return false;
  }
  return true;
}

#else

// The runtime's own lookup of the DWARF unwind tables that the modules of
// the process registered with it: found only for g++ code.
struct dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);

bool isCppCode(DWORD address, dwarf_eh_bases& bases) {
  return _Unwind_Find_FDE(reinterpret_cast<void*>(address), &bases) != nullptr;
}

// The return address on top of the stack of a frameless leaf that has no
// unwind tables (hand-written code), when g++ code called it: it must
// follow a call instruction of that caller; 0 otherwise.
DWORD leafReturnAddress(const CONTEXT& fault) {
  const DWORD returnAddress = *reinterpret_cast<const DWORD*>(fault.Esp);
  dwarf_eh_bases bases{};
  if (returnAddress < 8 || !isCppCode(returnAddress - 1, bases)) return 0;
  const auto* code = reinterpret_cast<const unsigned char*>(returnAddress);
  const auto* start = static_cast<const unsigned char*>(bases.func);
  auto opcodeAt = [&](int back) { return code - back >= start ? code[-back] : 0; };
  // call rel32; an indirect call (ModRM reg field 2) through a register or
  // memory, with or without an index byte and a displacement.
  if (opcodeAt(5) == 0xE8) return returnAddress;
  for (int length : {2, 3, 4, 6, 7}) {
    if (opcodeAt(length) == 0xFF && ((opcodeAt(length - 1) >> 3) & 7) == 2) return returnAddress;
  }
  return 0;
}

// Points the context at the trampoline, with the address at which the
// unwinder should look up the faulting frame: the faulting instruction in
// g++ code; in a leaf without tables, the call in its caller, as if the
// call had raised.
void redirect(CONTEXT& context) {
  dwarf_eh_bases bases{};
  DWORD resumeAt = context.Eip;
  if (!isCppCode(context.Eip, bases)) {
    const DWORD returnAddress = *reinterpret_cast<const DWORD*>(context.Esp);
    context.Esp += 4;
    resumeAt = returnAddress - 1;
  }
  context.Ecx = resumeAt;
  context.Eip = reinterpret_cast<DWORD>(&kwFaultTrampoline);
}

// The vectored handler sees a fault before the frame handlers do, which the
// runtime's translator does not: a system function that guards its own
// access (as IsBadReadPtr does) must keep its fault. g++ code registers no
// frame handlers on x86, so the fault is taken when it happened in g++ code
// or in a leaf that g++ code called, and left alone in anything else.
bool reachesCppFrameFirst(const CONTEXT& fault) {
  dwarf_eh_bases bases{};
  return isCppCode(fault.Eip, bases) || leafReturnAddress(fault) != 0;
}

#endif

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
  if (!isTranslatable(*info->ExceptionRecord)) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD lastError = GetLastError();
  ThreadState* state = currentState();
  SetLastError(lastError);
  // A fault inside the translation itself is not translated again.
  if (!state || state->translating) return EXCEPTION_CONTINUE_SEARCH;
  if (state->passNext) {
    state->passNext = false;
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // Set before the walk: a fault while reading the stack is not taken.
  state->translating = true;
  if (!reachesCppFrameFirst(*info->ContextRecord)) {
    state->translating = false;
    return EXCEPTION_CONTINUE_SEARCH;
  }
  state->record = *info->ExceptionRecord;
  state->record.ExceptionRecord = nullptr;
  state->context = *info->ContextRecord;
  // The copy has no room for extended state beyond the structure
  // (CONTEXT_XSTATE's own bit; the headers lack the name).
  state->context.ContextFlags &= ~DWORD{0x40};
  state->pointers.ExceptionRecord = &state->record;
  state->pointers.ContextRecord = &state->context;
  redirect(*info->ContextRecord);
  return EXCEPTION_CONTINUE_EXECUTION;
}

void WINAPI freeState(void* state) { delete static_cast<ThreadState*>(state); }

std::once_flag g_installOnce;

// Nothing of this may outlive the library when it is unloaded.
struct Uninstaller {
  ~Uninstaller() {
    if (g_handler) RemoveVectoredExceptionHandler(g_handler);
    if (g_slot != FLS_OUT_OF_INDEXES) FlsFree(g_slot);
  }
} g_uninstaller;

}  // namespace

void installFaultTranslator(FaultTranslator translator) {
  std::call_once(g_installOnce, [] {
    g_slot = FlsAlloc(freeState);
    if (g_slot != FLS_OUT_OF_INDEXES) g_handler = AddVectoredExceptionHandler(1, onException);
  });
  if (!g_handler) return;
  ThreadState* state = currentState();
  if (!state) {
    state = new ThreadState{};
    // Unarmed then, as when the handler could not be installed.
    if (!FlsSetValue(g_slot, state)) {
      delete state;
      return;
    }
  }
  state->translator = translator;
}

void passFaultOn() {
  ThreadState* state = currentState();
  if (state && state->translating) throw PassOn{};
  throw;
}

}  // namespace kw::os
