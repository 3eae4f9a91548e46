// Captured and approximated contexts. Everything that names a register of
// the processor is here, behind one guard.
#define UNW_LOCAL_ONLY
#include "os/posix/StackContext.h"

#include <libunwind.h>
#include <ucontext.h>

#include <cstring>

#include "os/StackWalking.h"

namespace kw::os {

// libunwind's capture: the registers without the signal mask, which would
// cost a system call and which no walk reads.
bool captureContext(CONTEXT& context) { return unw_getcontext(&context) == 0; }

void clearContext(CONTEXT& context, std::uint32_t) { std::memset(&context, 0, sizeof context); }

#if defined(__x86_64__)

int framePointerRegister() { return 6; }  // rbp

void approximateContext(CONTEXT& context, const void* instruction) {
  context.uc_mcontext.gregs[REG_RIP] = reinterpret_cast<greg_t>(instruction);
  context.uc_mcontext.gregs[REG_RBP] = reinterpret_cast<greg_t>(__builtin_frame_address(0));
  context.uc_mcontext.gregs[REG_RSP] = reinterpret_cast<greg_t>(&context);
}

#else

int framePointerRegister() { return -1; }

// Without register names a walk from here finds nothing; the context stays
// as cleared.
void approximateContext(CONTEXT&, const void*) {}

#endif

}  // namespace kw::os
