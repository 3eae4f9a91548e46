// Hardware faults on Linux: SIGSEGV, SIGBUS, SIGFPE and SIGILL handlers that hand the translator a
// Windows-style exception record. Twin: src/os/win32/FaultTranslator.cpp.
#include "os/FaultTranslator.h"

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <mutex>

namespace kw::os {

namespace {

// The Windows status codes that the record carries.
constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr std::uint32_t kIllegalInstruction = 0xC000001D;
constexpr std::uint32_t kArrayBoundsExceeded = 0xC000008C;
constexpr std::uint32_t kFltDivideByZero = 0xC000008E;
constexpr std::uint32_t kFltInexactResult = 0xC000008F;
constexpr std::uint32_t kFltInvalidOperation = 0xC0000090;
constexpr std::uint32_t kFltOverflow = 0xC0000091;
constexpr std::uint32_t kFltUnderflow = 0xC0000093;
constexpr std::uint32_t kIntDivideByZero = 0xC0000094;
constexpr std::uint32_t kIntOverflow = 0xC0000095;
constexpr std::uint32_t kPrivilegedInstruction = 0xC0000096;

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

std::mutex g_installLock;
struct sigaction g_previous[kSignalCount];

struct ThreadState {
  FaultTranslator translator;
  bool translating;
};
thread_local ThreadState t_state{};

// Carries passFaultOn's request from the translator back to the handler.
struct PassOn {};

struct Translating {
  explicit Translating(ThreadState& state) : m_state(state) { m_state.translating = true; }
  ~Translating() { m_state.translating = false; }
  ThreadState& m_state;
};

int slotOf(int signal) {
  for (int slot = 0; slot < kSignalCount; ++slot)
    if (kSignals[slot] == signal) return slot;
  return 0;
}

// The course the signal would have taken without us: the handler that was
// there before, or its old disposition, which a fault meets when its
// instruction runs again on return.
void forward(int signal, siginfo_t* info, void* context) {
  struct sigaction& previous = g_previous[slotOf(signal)];
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction) {
      previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  sigaction(signal, &previous, nullptr);
  if (info->si_code <= 0) raise(signal);  // sent, not a fault: nothing repeats it
}

std::uint32_t floatingPointCode(int reason) {
  switch (reason) {
    case FPE_INTDIV:
      return kIntDivideByZero;
    case FPE_INTOVF:
      return kIntOverflow;
    case FPE_FLTDIV:
      return kFltDivideByZero;
    case FPE_FLTOVF:
      return kFltOverflow;
    case FPE_FLTUND:
      return kFltUnderflow;
    case FPE_FLTRES:
      return kFltInexactResult;
    case FPE_FLTSUB:
      return kArrayBoundsExceeded;
    default:
      return kFltInvalidOperation;
  }
}

void describe(int signal, const siginfo_t* info, const ucontext_t* context,
              EXCEPTION_RECORD& record) {
  record = EXCEPTION_RECORD{};
  std::uintptr_t errorCode = 0;
#if defined(__x86_64__)
  record.ExceptionAddress = reinterpret_cast<void*>(context->uc_mcontext.gregs[REG_RIP]);
  errorCode = static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_ERR]);
#endif
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      record.ExceptionCode = kAccessViolation;
      record.NumberParameters = 2;
      // The page-fault error code: bit 1 a write, bit 4 an instruction fetch
      // (Windows says 1 and 8 for those, 0 for a read).
      record.ExceptionInformation[0] = (errorCode & 0x10) ? 8 : (errorCode & 0x2) ? 1 : 0;
      // A protection fault (non-canonical address) has no address; Windows
      // reports all ones then.
      record.ExceptionInformation[1] = info->si_code == SI_KERNEL
                                           ? UINTPTR_MAX
                                           : reinterpret_cast<std::uintptr_t>(info->si_addr);
      break;
    case SIGFPE:
      record.ExceptionCode = floatingPointCode(info->si_code);
      break;
    default:
      record.ExceptionCode = (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG)
                                 ? kPrivilegedInstruction
                                 : kIllegalInstruction;
      break;
  }
}

// Runs on the faulting thread's own stack (never an alternate one), so that
// what the translator throws can unwind through the signal frame into the
// faulting code.
void onFault(int signal, siginfo_t* info, void* context) {
  ThreadState& state = t_state;
  // A fault inside the translation itself is not translated again.
  if (!state.translator || state.translating || info->si_code <= 0) {
    forward(signal, info, context);
    return;
  }
  EXCEPTION_RECORD record;
  describe(signal, info, static_cast<const ucontext_t*>(context), record);
  EXCEPTION_POINTERS pointers{&record, context};
  {
    Translating guard(state);
    try {
      state.translator(record.ExceptionCode, &pointers);
    } catch (const PassOn&) {
    }
  }
  forward(signal, info, context);
}

// The handlers may not outlive the library when it is unloaded.
struct Uninstaller {
  ~Uninstaller() {
    std::lock_guard<std::mutex> lock(g_installLock);
    for (int slot = 0; slot < kSignalCount; ++slot) {
      struct sigaction current {};
      sigaction(kSignals[slot], nullptr, &current);
      if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onFault)
        sigaction(kSignals[slot], &g_previous[slot], nullptr);
    }
  }
} g_uninstaller;

}  // namespace

void installFaultTranslator(FaultTranslator translator) {
  {
    // Installed once, and again if someone replaced the handler since.
    std::lock_guard<std::mutex> lock(g_installLock);
    struct sigaction action {};
    action.sa_sigaction = onFault;
    // No SA_ONSTACK: throwing off an alternate stack is not possible. The
    // signal stays unblocked because the handler is left by a throw, not a
    // return that would restore the mask.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int slot = 0; slot < kSignalCount; ++slot) {
      struct sigaction current {};
      sigaction(kSignals[slot], nullptr, &current);
      if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onFault) continue;
      sigaction(kSignals[slot], &action, &g_previous[slot]);
    }
  }
  t_state.translator = translator;
}

void passFaultOn() {
  if (t_state.translating) throw PassOn{};
  throw;
}

}  // namespace kw::os
