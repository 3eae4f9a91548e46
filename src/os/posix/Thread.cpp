// Threads on Linux: pthreads, futex events and a stop signal. Twin of
// win32/Thread.cpp.
//
// A forced stop ends the worker from the stop signal's handler with a jump
// back into the worker's start routine, which returns as any thread's does:
// the C library takes the thread down and gets its stack back, and nothing
// of the frames it left runs again. The handler jumps only where that leaves
// no lock of the C library, the loader or the C++ runtime held (mayEndHere);
// elsewhere it declines, the worker runs on to the runtime's edge, and the
// killer signals again a millisecond later, for a bounded grace.
#include "os/Thread.h"

#include <dlfcn.h>
#include <link.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>

#include "os/ErrorText.h"
#include "os/posix/Futex.h"

namespace kw::os {

namespace {

// Futexes instead of condition variables: a thread killed while it waits
// leaves no waiter count behind that would block a later destroy.
timespec deadlineAfter(unsigned long ms) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += static_cast<time_t>(ms / 1000);
  now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

bool before(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec < deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec < deadline.tv_nsec);
}

// A manual-reset event; bounded waits measure time on the monotonic clock.
class ManualEvent {
 public:
  void set() {
    if (m_nSet.exchange(1) == 0) futexWake(&m_nSet, FUTEX_WAKE_PRIVATE);
  }

  bool isSet() const { return m_nSet.load() != 0; }

  WaitResult wait(unsigned long timeoutMs) {
    if (isSet()) return WaitResult::Signalled;
    if (timeoutMs == 0) return WaitResult::TimedOut;
    const bool bounded = timeoutMs != INFINITE;
    const timespec deadline = bounded ? deadlineAfter(timeoutMs) : timespec{};
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs a signal handler only inside the calls that it
    // intercepts, which the futex call is not: a kill would never reach a
    // waiting thread. Poll instead.
    for (;;) {
      if (isSet()) return WaitResult::Signalled;
      if (bounded && !before(deadline)) return WaitResult::TimedOut;
      poll(nullptr, 0, 1);
    }
#endif
    for (;;) {
      const long status =
          futexWait(&m_nSet, FUTEX_WAIT_BITSET_PRIVATE, 0, bounded ? &deadline : nullptr);
      if (isSet()) return WaitResult::Signalled;
      if (status == -1 && errno == ETIMEDOUT) return WaitResult::TimedOut;
      if (status == -1 && errno != EAGAIN && errno != EINTR) return WaitResult::Failed;
    }
  }

 private:
  std::atomic<int> m_nSet{0};
};

constexpr unsigned long kUnknownEndExitCode = 0xFFFFFFFF;

}  // namespace

// The wake event is a bare manual-reset event.
struct WakeEventObject : ManualEvent {};

namespace {

// Who ends the worker: it returns, it unwinds after threadExit, or another
// thread stops it by force. Only the first claim counts; a forced stop can
// overtake an unwinding worker but not one that has returned.
enum Phase : int { kRunning, kUnwinding, kFinishing, kKilled };

}  // namespace

// Shared by the handle and the worker; the last of the two deletes it.
struct ThreadObject {
  void release() {
    if (references.fetch_sub(1) == 1) delete this;
  }

  pthread_t thread{};
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  ManualEvent ended;  // the thread no longer runs any of its code
  std::atomic<int> phase{kRunning};
  std::atomic<ManualEvent*> waitingOn{nullptr};
  std::atomic<int> references{2};
  std::atomic<unsigned long> earlyExitCode{0};
  std::atomic<unsigned long> killExitCode{kStillActive};
  std::atomic<unsigned long> exitCode{kStillActive};
  // Where a forced stop resumes the worker: its start routine, which then
  // returns as any thread's does.
  sigjmp_buf escape{};
  std::uintptr_t startFrame = 0;
  std::atomic<unsigned> stopsSent{0}, stopsDeclined{0};
  // The forced stop was given up: the owner may be gone.
  std::atomic<bool> letGo{false};
  // A return to the worker's code goes to the edge trap.
  bool edgeTrapSet = false;
  // Closed when the worker ends, for an owner that let it go.
  std::atomic<WakeEventObject*> keptEvent{nullptr};
};

namespace {

// Initial-exec, so that the signal handler can read it.
__attribute__((tls_model("initial-exec"))) thread_local ThreadObject* t_current = nullptr;

// How long a forced stop waits for the worker to reach a point where it may
// end (see mayEndHere); it signals again every millisecond meanwhile.
constexpr unsigned long kStopGraceMs = 1000;

// Address ranges, in a fixed array that the signal handler may read.
class CodeRanges {
 public:
  void add(std::uintptr_t begin, std::uintptr_t end) {
    if (m_nCount < kMaxRanges) m_ranges[m_nCount++] = {begin, end};
  }

  bool contains(std::uintptr_t address) const {
    for (std::size_t i = 0; i < m_nCount; ++i)
      if (address >= m_ranges[i].begin && address < m_ranges[i].end) return true;
    return false;
  }

 private:
  struct Range {
    std::uintptr_t begin, end;
  };
  static constexpr std::size_t kMaxRanges = 32;
  Range m_ranges[kMaxRanges]{};
  std::size_t m_nCount = 0;
};

// The code of the runtimes whose locks a forced stop must never leave held:
// the C library (its heap among them), the loader, the C++ runtime, the
// unwinder, and the sanitizers' runtimes, which own the heap in their builds.
// Found once, read by the signal handler.
class RuntimeCode {
 public:
  void find() {
    dl_iterate_phdr(&RuntimeCode::addModule, this);
    findConditionWaits();
  }

  bool contains(std::uintptr_t address) const { return m_code.contains(address); }
  // Code built without exceptions (C, the sanitizers' runtimes): nothing is
  // thrown through its frames but from a callback.
  bool throwsNothing(std::uintptr_t address) const { return m_quietCode.contains(address); }
  // The unwinder and the loader: no walk starts inside them, whose state the
  // walk itself reads.
  bool inUnwinder(std::uintptr_t address) const { return m_unwinderCode.contains(address); }
  // A condition variable's wait: a waiter that vanishes from it leaves a
  // count behind that blocks the variable's destroy for good.
  bool inConditionWait(std::uintptr_t address) const { return m_conditionWaits.contains(address); }

 private:
  struct Runtime {
    const char* prefix;
    bool quiet, unwinder;  // see throwsNothing and inUnwinder
  };

  static const Runtime* runtimeOf(const char* path) {
    static const Runtime kRuntimes[] = {
        {"libc.so", true, false},       {"ld-linux", true, true},    {"ld64.so", true, true},
        {"libpthread.so", true, false}, {"libdl.so", true, false},   {"libgcc_s.so", false, true},
        {"libstdc++.so", false, false}, {"libasan.so", true, false}, {"libtsan.so", true, false},
        {"liblsan.so", true, false},    {"libubsan.so", true, false}};
    const char* slash = std::strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    for (const Runtime& runtime : kRuntimes)
      if (std::strncmp(name, runtime.prefix, std::strlen(runtime.prefix)) == 0) return &runtime;
    return nullptr;
  }

  static int addModule(dl_phdr_info* info, std::size_t, void* data) {
    auto* code = static_cast<RuntimeCode*>(data);
    const Runtime* runtime = info->dlpi_name ? runtimeOf(info->dlpi_name) : nullptr;
    if (!runtime) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
      const ElfW(Phdr)& segment = info->dlpi_phdr[i];
      if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
      const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
      const std::uintptr_t end = begin + segment.p_memsz;
      code->m_code.add(begin, end);
      if (runtime->quiet) code->m_quietCode.add(begin, end);
      if (runtime->unwinder) code->m_unwinderCode.add(begin, end);
    }
    return 0;
  }

  // The C library's own entries, not a sanitizer's interceptors of them.
  void findConditionWaits() {
    void* library = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return;
    for (const char* name :
         {"pthread_cond_wait", "pthread_cond_timedwait", "pthread_cond_clockwait"}) {
      void* entry = dlsym(library, name);
      Dl_info info{};
      void* symbol = nullptr;
      if (!entry || !dladdr1(entry, &info, &symbol, RTLD_DL_SYMENT) || !symbol) continue;
      const auto begin = reinterpret_cast<std::uintptr_t>(entry);
      m_conditionWaits.add(begin, begin + static_cast<const ElfW(Sym)*>(symbol)->st_size);
    }
    dlclose(library);
  }

  CodeRanges m_code, m_quietCode, m_unwinderCode, m_conditionWaits;
};

// The runtime's own unwinder, from libgcc_s by name (libunwind exports the
// same names); it takes no lock and allocates nothing on a walk, so the
// handler may use it to look at the callers.
struct CallerWalker {
  _Unwind_Reason_Code (*backtrace)(_Unwind_Trace_Fn, void*) = nullptr;
  _Unwind_Ptr (*getIPInfo)(_Unwind_Context*, int*) = nullptr;
  _Unwind_Word (*getCFA)(_Unwind_Context*) = nullptr;

  void bind() {
    void* library = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return;
    backtrace = reinterpret_cast<decltype(backtrace)>(dlsym(library, "_Unwind_Backtrace"));
    getIPInfo = reinterpret_cast<decltype(getIPInfo)>(dlsym(library, "_Unwind_GetIPInfo"));
    getCFA = reinterpret_cast<decltype(getCFA)>(dlsym(library, "_Unwind_GetCFA"));
    if (!backtrace || !getIPInfo || !getCFA) {
      backtrace = nullptr;
      return;
    }
    // The unwinder sets itself up on its first walk: not in a handler.
    backtrace([](_Unwind_Context*, void*) { return _URC_NORMAL_STOP; }, nullptr);
  }
};

RuntimeCode g_runtimeCode;
CallerWalker g_callerWalker;

// What the handler sees of the interrupted worker.
struct Interrupted {
  std::uintptr_t pc = 0;
  // Asleep in a system call that the signal cut short, one that the runtimes
  // never make while they hold a lock: a wait of the program's own.
  bool parkedInOwnWait = false;
};

// Blocking calls that the kernel restarts after a handler. The runtimes make
// none of them under a lock of theirs; left out are futex, on which they wait
// for their locks, and open, which the loader makes under its lock.
bool isProgramWait(long call) {
  static const long kCalls[] = {
      SYS_read,     SYS_readv,   SYS_pread64,  SYS_write,  SYS_writev,    SYS_pwrite64,
      SYS_recvfrom, SYS_recvmsg, SYS_recvmmsg, SYS_sendto, SYS_sendmsg,   SYS_sendmmsg,
      SYS_accept,   SYS_accept4, SYS_connect,  SYS_wait4,  SYS_waitid,    SYS_flock,
      SYS_fcntl,    SYS_msgrcv,  SYS_msgsnd,   SYS_semop,  SYS_semtimedop};
  for (long known : kCalls)
    if (call == known) return true;
  return false;
}

Interrupted interruptedAt(const ucontext_t& context) {
  Interrupted at;
#if defined(__x86_64__)
  at.pc = static_cast<std::uintptr_t>(context.uc_mcontext.gregs[REG_RIP]);
  const long rax = context.uc_mcontext.gregs[REG_RAX];
  constexpr unsigned char kSyscall[] = {0x0f, 0x05};
  const auto* code = reinterpret_cast<const unsigned char*>(at.pc);
  // Restarted: back on the instruction, the call's number in rax. Cut short:
  // just past it with EINTR; runtimes wait for their locks without a time-out,
  // which restarts, so such a call is a wait of the program's.
  if (g_runtimeCode.contains(at.pc + 1) && std::memcmp(code, kSyscall, 2) == 0)
    at.parkedInOwnWait = isProgramWait(rax);
  else if (g_runtimeCode.contains(at.pc - 2) && std::memcmp(code - 2, kSyscall, 2) == 0)
    at.parkedInOwnWait = rax == -EINTR;
#elif defined(__aarch64__)
  at.pc = static_cast<std::uintptr_t>(context.uc_mcontext.pc);
  const long x0 = static_cast<long>(context.uc_mcontext.regs[0]);
  const long call = static_cast<long>(context.uc_mcontext.regs[8]);
  constexpr std::uint32_t kSvc = 0xd4000001;
  std::uint32_t instruction = 0;
  if (g_runtimeCode.contains(at.pc + 3)) {
    std::memcpy(&instruction, reinterpret_cast<const void*>(at.pc), 4);
    if (instruction == kSvc) at.parkedInOwnWait = isProgramWait(call);
  }
  if (!at.parkedInOwnWait && g_runtimeCode.contains(at.pc - 4)) {
    std::memcpy(&instruction, reinterpret_cast<const void*>(at.pc - 4), 4);
    at.parkedInOwnWait = instruction == kSvc && x0 == -EINTR;
  }
#endif
  return at;
}

// The frames from the interrupted one to the worker's start routine, as the
// runtime's unwinder sees them from the handler.
class CallerFrames {
 public:
  struct Frame {
    std::uintptr_t ip;  // the instruction, or a return address's call
    std::uintptr_t returnAddress;
    // The frame it called, which returns through the slot just below.
    std::uintptr_t calleeCfa;
  };

  CallerFrames(std::uintptr_t pc, std::uintptr_t startFrame) : m_pc(pc), m_startFrame(startFrame) {
    g_callerWalker.backtrace(&CallerFrames::visit, this);
  }

  // The walk passed the signal frame: the frames are known.
  bool found() const { return m_bFound; }
  // It also reached the start routine with every frame kept.
  bool complete() const { return m_bComplete; }
  std::size_t count() const { return m_nCount; }
  const Frame& operator[](std::size_t i) const { return m_frames[i]; }

 private:
  static _Unwind_Reason_Code visit(_Unwind_Context* context, void* data) {
    auto& walk = *static_cast<CallerFrames*>(data);
    int exact = 0;
    const std::uintptr_t ip = g_callerWalker.getIPInfo(context, &exact);
    if (!walk.m_bFound) {
      walk.m_bFound = exact && ip == walk.m_pc;
      if (!walk.m_bFound) return _URC_NO_REASON;
    }
    // The frame address given with a frame's code address is its callee's.
    const std::uintptr_t cfa = g_callerWalker.getCFA(context);
    if (cfa >= walk.m_startFrame) {
      walk.m_bComplete = true;
      return _URC_NORMAL_STOP;
    }
    if (walk.m_nCount == kMaxFrames) return _URC_NORMAL_STOP;
    walk.m_frames[walk.m_nCount++] = {exact ? ip : ip - 1, ip, cfa};
    return _URC_NO_REASON;
  }

  static constexpr std::size_t kMaxFrames = 128;
  std::uintptr_t m_pc, m_startFrame;
  bool m_bFound = false, m_bComplete = false;
  Frame m_frames[kMaxFrames]{};
  std::size_t m_nCount = 0;
};

#if defined(__x86_64__)
// Reached instead of a runtime's return to the worker's code, once the
// worker is out of the runtimes: the forced stop ends it here.
extern "C" [[noreturn]] __attribute__((visibility("hidden"), used)) void kwThreadEdgeReached() {
  siglongjmp(t_current->escape, 1);
}

// Entered by a return, not a call: the stack is realigned for the call.
// The unwind entry says there is no caller, so that a walk that meets the
// trap ends there.
asm(R"(
  .pushsection .text
  .type kwThreadEdgeTrapEntry, @function
kwThreadEdgeTrapEntry:
  .cfi_startproc
  .cfi_undefined rip
  nop
  .globl kwThreadEdgeTrap
  .hidden kwThreadEdgeTrap
kwThreadEdgeTrap:
  andq $-16, %rsp
  call kwThreadEdgeReached
  ud2
  .cfi_endproc
  .size kwThreadEdgeTrapEntry, .-kwThreadEdgeTrapEntry
  .popsection
)");
extern "C" void kwThreadEdgeTrap();

// The trap needs a return address that the program may overwrite: not so
// under a shadow stack.
bool edgeTrapUsable() {
  constexpr int kShadowStackStatus = 0x5005;
  unsigned long features = 0;
  return syscall(SYS_arch_prctl, kShadowStackStatus, &features) != 0 || features == 0;
}
const std::uintptr_t kEdgeTrap =
    edgeTrapUsable() ? reinterpret_cast<std::uintptr_t>(&kwThreadEdgeTrap) : 0;
#else
constexpr std::uintptr_t kEdgeTrap = 0;
#endif

// Lets the worker run to the runtimes' edge and no further: the return of
// the outermost runtime frame to the worker's code goes to the trap
// instead. Only from code that throws nothing through its frames that would
// meet the trap, and only where the unwinder's view of the frame matches the
// stack.
void setEdgeTrap(ThreadObject& worker, const CallerFrames& frames) {
  if (!kEdgeTrap || !frames.complete() || worker.edgeTrapSet) return;
  std::size_t outermost = frames.count();
  for (std::size_t i = 0; i < frames.count(); ++i)
    if (g_runtimeCode.contains(frames[i].ip)) outermost = i;
  if (outermost + 1 >= frames.count() || !g_runtimeCode.throwsNothing(frames[outermost].ip)) return;
  const CallerFrames::Frame& caller = frames[outermost + 1];
  auto* slot = reinterpret_cast<std::uintptr_t*>(caller.calleeCfa - sizeof(std::uintptr_t));
  if (*slot != caller.returnAddress) return;
  *slot = kEdgeTrap;
  worker.edgeTrapSet = true;
}

// Where ending the worker leaves no runtime lock held: outside their code
// with none of them among its callers, or parked in a wait of its own (a
// condition variable's excepted) called from its code. Elsewhere the edge
// trap is set where it can be.
bool mayEndHere(ThreadObject& worker, const ucontext_t& context) {
  const Interrupted at = interruptedAt(context);
  ManualEvent* waiting = worker.waitingOn.load();
  // Woken, but not yet back from its wait (a busy machine): it returns at
  // once and ends there by unwinding, as it would have on the request.
  if (waiting && waiting->isSet()) return false;
  if (g_runtimeCode.inUnwinder(at.pc)) return false;
  const bool inRuntime = g_runtimeCode.contains(at.pc);
  const bool parked = waiting || at.parkedInOwnWait;
  // Without the unwinder the interrupted instruction decides alone.
  if (!g_callerWalker.backtrace) return !inRuntime || parked;
  // A walk that does not pass the signal frame leaves the callers unknown
  // (code without unwind entries; a sanitizer that runs the handler later,
  // elsewhere): not here.
  const CallerFrames frames(at.pc, worker.startFrame);
  if (!frames.found()) return false;
  std::size_t first = 0;
  if (parked)
    while (first < frames.count() && g_runtimeCode.contains(frames[first].ip) &&
           !g_runtimeCode.inConditionWait(frames[first].ip))
      ++first;
  bool clean = !inRuntime || parked;
  for (std::size_t i = first; clean && i < frames.count(); ++i)
    clean = !g_runtimeCode.contains(frames[i].ip);
  if (!clean) setEdgeTrap(worker, frames);
  return clean;
}

void onStopSignal(int, siginfo_t* info, void* context) {
  ThreadObject* worker = t_current;
  if (!worker || info->si_code != SI_QUEUE || info->si_value.sival_ptr != worker) return;
  const int savedErrno = errno;
  if (worker->phase.load() == kKilled && mayEndHere(*worker, *static_cast<ucontext_t*>(context)))
    siglongjmp(worker->escape, 1);
  ++worker->stopsDeclined;
  errno = savedErrno;
}

// The highest real-time signal that nobody handles yet, taken once; 0 when
// there is none.
int stopSignal() {
  static const int taken = [] {
    g_runtimeCode.find();
    g_callerWalker.bind();
    for (int candidate = SIGRTMAX; candidate >= SIGRTMIN; --candidate) {
      struct sigaction current {};
      if (sigaction(candidate, nullptr, &current) != 0) continue;
      if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_sigaction = onStopSignal;
      // Restarting: a worker declined many times over sees no EINTR from it.
      action.sa_flags = SA_SIGINFO | SA_RESTART;
      sigfillset(&action.sa_mask);
      if (sigaction(candidate, &action, nullptr) == 0) return candidate;
    }
    return 0;
  }();
  return taken;
}

void setStopBlocked(int how) {
  if (const int signal = stopSignal()) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, signal);
    pthread_sigmask(how, &stop, nullptr);
  }
}

// The worker's last step, however it ended; no stop reaches it any more.
void finish(ThreadObject& worker, bool returned, unsigned long code) {
  setStopBlocked(SIG_BLOCK);
  int phase = worker.phase.load();
  while (phase != kKilled && !worker.phase.compare_exchange_weak(phase, kFinishing)) {
  }
  worker.exitCode = phase == kKilled      ? worker.killExitCode.load()
                    : phase == kUnwinding ? worker.earlyExitCode.load()
                    : returned            ? code
                                          : kUnknownEndExitCode;
  delete worker.keptEvent.exchange(nullptr);
  worker.ended.set();
  worker.release();
}

// Records the exit code whether the routine returns or is unwound.
struct Finisher {
  ~Finisher() { finish(*worker, returned, code); }
  ThreadObject* worker;
  bool returned = false;
  unsigned long code = 0;
};

__attribute__((noinline)) void runRoutine(ThreadObject* worker) {
  setStopBlocked(SIG_UNBLOCK);
  Finisher finisher{worker};
  finisher.code = worker->routine(worker->argument);
  finisher.returned = true;
}

void* workerMain(void* argument) {
  auto* worker = static_cast<ThreadObject*>(argument);
  t_current = worker;
  worker->startFrame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // Keeps the mask the worker was born with, the stop signal blocked, so that
  // a stop that lands here is its last. Nothing of the frames it leaves runs
  // again; the thread then ends as any does, and its stack is given back.
  if (sigsetjmp(worker->escape, 1) == 0)
    runRoutine(worker);
  else
    finish(*worker, false, 0);
  return nullptr;
}

// A worker whose forced stop was given up ends at its next call into here,
// without unwinding: its owner may be gone.
void endIfLetGo(ThreadObject* worker) {
  if (worker && worker->letGo.load()) siglongjmp(worker->escape, 1);
}

}  // namespace

ThreadHandle threadStart(ThreadRoutine routine, void* arg) {
  auto* worker = new (std::nothrow) ThreadObject;
  if (!worker) return failing(ENOMEM, worker);
  worker->routine = routine;
  worker->argument = arg;
  // Born with the stop signal blocked: a kill that comes before the worker
  // knows who it is stays pending until it does.
  sigset_t stop, previous;
  sigemptyset(&stop);
  if (const int signal = stopSignal()) sigaddset(&stop, signal);
  if (!succeeded(pthread_sigmask(SIG_BLOCK, &stop, &previous))) {
    delete worker;
    return nullptr;
  }
  const int status = pthread_create(&worker->thread, nullptr, workerMain, worker);
  // Cannot fail: the mask is the one the first call gave back.
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!succeeded(status)) {
    delete worker;
    return nullptr;
  }
  return worker;
}

WaitResult threadWait(ThreadHandle thread, unsigned long timeoutMs) {
  if (!thread) return failing(EINVAL, WaitResult::Failed);
  return thread->ended.wait(timeoutMs);
}

void threadExit(unsigned long exitCode) {
  // Stopped by force meanwhile, it unwinds all the same unless let go.
  if (ThreadObject* worker = t_current) {
    endIfLetGo(worker);
    int phase = kRunning;
    if (worker->phase.compare_exchange_strong(phase, kUnwinding)) worker->earlyExitCode = exitCode;
  }
  pthread_exit(nullptr);
}

bool threadKill(ThreadHandle worker, unsigned long exitCode) {
  if (!worker || !stopSignal()) return failing(worker ? EAGAIN : EINVAL, false);
  unsigned long unclaimed = kStillActive;
  worker->killExitCode.compare_exchange_strong(unclaimed, exitCode);
  int phase = worker->phase.load();
  do {
    if (phase == kFinishing) {
      // On its way out by its own return: only this library's code is left.
      if (worker != t_current) worker->ended.wait(INFINITE);
      return true;
    }
  } while (phase != kKilled && !worker->phase.compare_exchange_weak(phase, kKilled));
  if (worker == t_current) siglongjmp(worker->escape, 1);
  sigval value{};
  value.sival_ptr = worker;
  const timespec deadline = deadlineAfter(kStopGraceMs);
  for (;;) {
    // One signal at a time: a worker that blocks it would pile them up.
    if (worker->stopsDeclined.load() == worker->stopsSent.load() &&
        pthread_sigqueue(worker->thread, stopSignal(), value) == 0)
      ++worker->stopsSent;
    if (worker->ended.wait(1) == WaitResult::Signalled) return true;
    if (!before(deadline)) break;
  }
  worker->letGo = true;
  return worker->ended.isSet() || failing(ETIMEDOUT, false);
}

bool threadExitCode(ThreadHandle thread, unsigned long& exitCode) {
  if (!thread) return failing(EINVAL, false);
  exitCode = thread->exitCode;
  return true;
}

bool threadIsCurrent(ThreadHandle thread) { return thread && thread == t_current; }

void threadClose(ThreadHandle worker) {
  if (!worker) return;
  // Every ended thread, a stopped one too, returned from its start routine.
  if (worker->ended.isSet())
    pthread_join(worker->thread, nullptr);
  else
    pthread_detach(worker->thread);
  worker->release();
}

WakeEventHandle wakeEventCreate() {
  auto* event = new (std::nothrow) WakeEventObject;
  return event ? event : failing(ENOMEM, event);
}

void wakeEventSet(WakeEventHandle event) {
  if (event) event->set();
}

WaitResult wakeEventWait(WakeEventHandle waited, unsigned long timeoutMs) {
  ThreadObject* worker = t_current;
  endIfLetGo(worker);
  if (!waited) return failing(EINVAL, WaitResult::Failed);
  if (!worker) return waited->wait(timeoutMs);
  worker->waitingOn = waited;
  const WaitResult result = waited->wait(timeoutMs);
  worker->waitingOn = nullptr;
  if (worker->phase.load() == kKilled) {
    endIfLetGo(worker);
    pthread_exit(nullptr);
  }
  return result;
}

void wakeEventClose(WakeEventHandle event) { delete event; }

void wakeEventCloseAfter(WakeEventHandle event, ThreadHandle thread) {
  if (!thread) return wakeEventClose(event);
  thread->keptEvent = event;
  // Ended meanwhile, it may have looked before the event was there.
  if (thread->ended.isSet()) delete thread->keptEvent.exchange(nullptr);
}

}  // namespace kw::os
