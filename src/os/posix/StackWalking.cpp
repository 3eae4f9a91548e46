// The walks: the runtime's unwinder on the calling thread's own stack,
// libunwind from a given context (a signal's too) and where the runtime's
// unwinder stops early. Twin of os/win32/StackWalking.cpp.
#define UNW_LOCAL_ONLY
#include "os/StackWalking.h"

#include <dlfcn.h>
#include <libunwind.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <unwind.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "os/ErrorText.h"
#include "os/posix/StackContext.h"
#include "os/posix/SymbolLookup.h"
#include "os/posix/SymbolSession.h"
#include "os/posix/UnwindingRules.h"

namespace kw::os {

namespace {

// A corrupt stack could make libunwind go round; no real stack is this deep.
const int kMaxFrames = 4096;

struct FdeBases {
  void* tbase;
  void* dbase;
  void* func;
};

// The runtime's own unwinder, taken from libgcc_s by name. libunwind exports
// the same entry points, and whichever of the two a program happens to list
// first would answer; libunwind's blocks and unblocks signals around every
// step, four system calls a frame, where the runtime's makes none.
struct RuntimeUnwinder {
  _Unwind_Reason_Code (*backtrace)(_Unwind_Trace_Fn, void*) = nullptr;
  _Unwind_Ptr (*getIPInfo)(_Unwind_Context*, int*) = nullptr;
  _Unwind_Word (*getGR)(_Unwind_Context*, int) = nullptr;
  // The lookup of a code address's unwind entry.
  const void* (*findFDE)(void*, FdeBases*) = nullptr;

  bool usable() const { return backtrace && getIPInfo && getGR && findFDE; }
};

template <typename Function>
void bindRuntime(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

const RuntimeUnwinder& runtimeUnwinder() {
  static const RuntimeUnwinder unwinder = [] {
    RuntimeUnwinder found;
    // Loaded already (this library depends on it); the handle is kept.
    void* library = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return found;
    bindRuntime(library, "_Unwind_Backtrace", found.backtrace);
    bindRuntime(library, "_Unwind_GetIPInfo", found.getIPInfo);
    bindRuntime(library, "_Unwind_GetGR", found.getGR);
    bindRuntime(library, "_Unwind_Find_FDE", found.findFDE);
    return found;
  }();
  return unwinder;
}

// One frame as the runtime's unwinder reports it.
struct QuickFrame {
  std::uintptr_t ip;
  bool exact;  // interrupted by a signal: the ip is the instruction itself
  std::uintptr_t framePointer;
};

_Unwind_Reason_Code collectFrame(_Unwind_Context* context, void* data) {
  auto* frames = static_cast<std::vector<QuickFrame>*>(data);
  int beforeInstruction = 0;
  const RuntimeUnwinder& unwinder = runtimeUnwinder();
  std::uintptr_t ip = unwinder.getIPInfo(context, &beforeInstruction);
  const int framePointer = framePointerRegister();
  frames->push_back(
      {ip, beforeInstruction != 0, framePointer < 0 ? 1 : unwinder.getGR(context, framePointer)});
  return frames->size() < static_cast<std::size_t>(kMaxFrames) ? _URC_NO_REASON : _URC_NORMAL_STOP;
}

// A walk that ended where libunwind ends too: where the unwind data says the
// stack ends, or in code without unwind data whose frame pointer is null (the
// program's entry). Any other end (code without unwind data, a frame limit)
// is left to libunwind, which follows frame pointers there.
bool endsProperly(_Unwind_Reason_Code code, const std::vector<QuickFrame>& frames) {
  if (code != _URC_END_OF_STACK || frames.empty()) return false;
  const QuickFrame& last = frames.back();
  FdeBases bases{};
  return last.framePointer == 0 ||
         runtimeUnwinder().findFDE(reinterpret_cast<void*>(last.ip - (last.exact ? 0 : 1)),
                                   &bases) != nullptr;
}

// Looks up the runtime unwinder's frames after the first, which is the
// walk's own.
void reportQuickFrames(SymbolSession& session, const std::vector<QuickFrame>& quick,
                       std::vector<FrameReport>& frames) {
  frames.reserve(frames.size() + quick.size());
  for (std::size_t number = 1; number < quick.size(); ++number) {
    FrameReport frame;
    frame.address = quick[number].ip;
    frame.last = number + 1 == quick.size();
    // A signal frame is looked up at its ip, as is the frame it interrupted.
    bool signalFrame = number + 1 < quick.size() && quick[number + 1].exact;
    if (frame.address != 0)
      lookUpCached(session, frame,
                   quick[number].exact || signalFrame ? frame.address : frame.address - 1);
    frames.push_back(frame);
  }
}

}  // namespace

__attribute__((noinline)) bool walkStack(SymbolSession& session, HANDLE, CONTEXT& context,
                                         WalkStart start, ReadMemory,
                                         std::vector<FrameReport>& frames,
                                         std::uint32_t& failureCode,
                                         std::uint64_t& failureAddress) {
  // What the walk resolved is kept for the next process.
  struct SaveStores {
    SymbolSession& session;
    ~SaveStores() { session.saveStores(); }
  } saveStores{session};
  // The calling thread's own stack: the runtime's unwinder finds its frames
  // without a system call. The first frame is this function's own.
  if (start == WalkStart::kCapturedHere && runtimeUnwinder().usable()) {
    std::vector<QuickFrame> quick;
    quick.reserve(64);
    // The session's kept rules walk as the runtime's unwinder would, without
    // reading each frame's unwind entry again; it walks where they cannot.
    std::vector<RuleFrame> ruled;
    ruled.reserve(64);
    _Unwind_Reason_Code end = _URC_END_OF_STACK;
    if (session.rules.backtrace(ruled))
      for (const RuleFrame& frame : ruled) quick.push_back({frame.ip, false, frame.framePointer});
    else
      end = runtimeUnwinder().backtrace(&collectFrame, &quick);
    if (endsProperly(end, quick)) {
      reportQuickFrames(session, quick, frames);
      return true;
    }
  }

  unw_context_t here;
  unw_cursor_t cursor;
  int skip = 0;
  int status;
  if (start == WalkStart::kCapturedHere) {
    unw_getcontext(&here);
    status = unw_init_local(&cursor, &here);
    skip = 1;  // this function's own frame
  } else {
    status = unw_init_local2(&cursor, &context, UNW_INIT_SIGNAL_FRAME);
  }
  if (status < 0) {
    failureCode = static_cast<std::uint32_t>(-status);
    failureAddress = 0;
    return false;
  }

  // The first frame of a given context, and a frame interrupted by a signal,
  // stand at the instruction itself; every other frame at a return address,
  // whose call is the byte before.
  bool exact = start == WalkStart::kGiven;
  for (int number = 0; number < kMaxFrames; ++number) {
    unw_word_t ip = 0;
    unw_get_reg(&cursor, UNW_REG_IP, &ip);
    bool signalFrame = unw_is_signal_frame(&cursor) > 0;
    int stepped = unw_step(&cursor);
    if (number >= skip) {
      FrameReport frame;
      frame.address = ip;
      frame.last = stepped == 0;
      if (ip != 0) lookUpCached(session, frame, exact || signalFrame ? ip : ip - 1);
      frames.push_back(frame);
    }
    if (stepped < 0) {
      failureCode = static_cast<std::uint32_t>(-stepped);
      failureAddress = ip;
      return false;
    }
    if (stepped == 0) return true;
    exact = signalFrame;
  }
  return true;
}

int readProcessMemory(HANDLE, std::uint64_t address, void* buffer, std::uint32_t size,
                      std::uint32_t* read) {
  iovec local{buffer, size};
  iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size};
  ssize_t count = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (read) *read = count > 0 ? static_cast<std::uint32_t>(count) : 0;
  return count == static_cast<ssize_t>(size) ? 1 : 0;
}

// Another thread's registers cannot be read from inside the process.
bool suspendedThreadContext(HANDLE, CONTEXT&, std::uint32_t) {
  setLastError(ENOTSUP);
  return false;
}

void resumeThread(HANDLE) {}

// Read once: the running kernel does not change under the process.
bool osVersion(OsVersion& version) {
  static OsVersion known;
  static const bool found = [] {
    utsname names;
    if (uname(&names) != 0) return false;
    known = OsVersion{0, 0, 0, names.version, 0, 1};
    std::sscanf(names.release, "%u.%u.%u", &known.major, &known.minor, &known.build);
    return true;
  }();
  if (found) version = known;
  return found;
}

}  // namespace kw::os
