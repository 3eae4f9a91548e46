// Windows: dbghelp.dll is not bound yet, so every walk reports the library
// as missing and exceptions carry an empty trace.
#include "os/StackWalking.h"

#include <cstring>

#include "os/ErrorText.h"

namespace kw::os {

class SymbolSession {};

std::recursive_mutex& stackWalkingLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::shared_ptr<SymbolSession> startSymbolSession(HANDLE, std::uint32_t, const char*, bool,
                                                  std::vector<EngineNote>&) {
  SetLastError(ERROR_DLL_INIT_FAILED);
  return nullptr;
}

bool loadSessionModules(SymbolSession&, std::vector<EngineNote>&) { return false; }

std::string buildSymbolSearchPath(const char* userPath) {
  return userPath ? std::string(userPath) + ";" : std::string();
}

bool walkStack(SymbolSession&, HANDLE, CONTEXT&, WalkStart, ReadMemory, std::vector<FrameReport>&,
               std::uint32_t& failureCode, std::uint64_t& failureAddress) {
  failureCode = ERROR_DLL_INIT_FAILED;
  failureAddress = 0;
  return false;
}

int readProcessMemory(HANDLE process, std::uint64_t address, void* buffer, std::uint32_t size,
                      std::uint32_t* read) {
  SIZE_T count = 0;
  BOOL done = ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &count);
  if (read) *read = static_cast<std::uint32_t>(count);
  return done ? 1 : 0;
}

bool captureContext(CONTEXT& context) {
  RtlCaptureContext(&context);
  return true;
}

void clearContext(CONTEXT& context, std::uint32_t flags) {
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = flags;
}

void approximateContext(CONTEXT& context, const void* instruction) {
  context.Rip = reinterpret_cast<DWORD64>(instruction);
  context.Rbp = reinterpret_cast<DWORD64>(__builtin_frame_address(0));
  context.Rsp = reinterpret_cast<DWORD64>(&context);
}

bool suspendedThreadContext(HANDLE thread, CONTEXT& context, std::uint32_t flags) {
  SuspendThread(thread);
  clearContext(context, flags);
  if (GetThreadContext(thread, &context)) return true;
  ResumeThread(thread);
  return false;
}

void resumeThread(HANDLE thread) { ResumeThread(thread); }

bool osVersion(OsVersion&) { return false; }

}  // namespace kw::os
